// The telemetry snapshot: Filter Manager records read within the bytes returned, altitudes parsed,
// the output line built from what was found, the whole walk over the simulated machine's fltlib.dll
// (placed beside this test, as beside the service) telling the truth or lying, and the data
// directory's lookup with the fallback text log.
#include <gtest/gtest.h>
#include <objbase.h>

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "telemetry/fallback_text_log.h"
#include "telemetry/filter_records.h"
#include "telemetry/telemetry.h"
#include "telemetry/telemetry_testing.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace Kestro::Telemetry;

// A record of `fixed` bytes followed by the texts, each placed at the next offset; `at` receives
// each text's offset.
struct RecordBuilder {
    explicit RecordBuilder(size_t fixed) : bytes(fixed, 0) {}
    uint16_t Add(const std::wstring& text) {
        const auto offset = static_cast<uint16_t>(bytes.size());
        bytes.resize(bytes.size() + text.size() * sizeof(wchar_t));
        memcpy(bytes.data() + offset, text.data(), text.size() * sizeof(wchar_t));
        return offset;
    }
    template <typename T>
    T* Fixed() {
        return reinterpret_cast<T*>(bytes.data());
    }
    std::vector<uint8_t> bytes;
};

std::wstring Text(const RecordText& t) {
    return std::wstring(reinterpret_cast<const wchar_t*>(t.data), t.bytes / sizeof(wchar_t));
}

TEST(FilterRecordsTest, EntriesAreReadByTheirOffsets) {
    RecordBuilder mini(sizeof(FILTER_AGGREGATE_STANDARD_INFORMATION));
    const uint16_t name = mini.Add(L"Kestro Vantor");
    const uint16_t altitude = mini.Add(L"328010.5");
    auto* m = mini.Fixed<FILTER_AGGREGATE_STANDARD_INFORMATION>();
    m->Flags = FLTFL_ASI_IS_MINIFILTER;
    m->Type.MiniFilter.FrameID = 2;
    m->Type.MiniFilter.FilterNameLength = 26;
    m->Type.MiniFilter.FilterNameBufferOffset = name;
    m->Type.MiniFilter.FilterAltitudeLength = 16;
    m->Type.MiniFilter.FilterAltitudeBufferOffset = altitude;
    FilterRecord record;
    ASSERT_TRUE(ReadFilterRecord(mini.bytes.data(), static_cast<uint32_t>(mini.bytes.size()), &record));
    EXPECT_EQ(record.frame, 2u);
    EXPECT_EQ(Text(record.name), L"Kestro Vantor");
    EXPECT_EQ(ParseAltitude(record.altitude), 328010u);
    // One byte short of the altitude's end: the record is refused, not read past what was returned.
    EXPECT_FALSE(ReadFilterRecord(mini.bytes.data(), static_cast<uint32_t>(mini.bytes.size() - 1), &record));
    // An offset that points beyond the buffer is refused too.
    m->Type.MiniFilter.FilterNameBufferOffset = 0xFFF0;
    EXPECT_FALSE(ReadFilterRecord(mini.bytes.data(), static_cast<uint32_t>(mini.bytes.size()), &record));

    RecordBuilder legacy(sizeof(FILTER_AGGREGATE_STANDARD_INFORMATION));
    const uint16_t legacyName = legacy.Add(L"MRLA");
    auto* l = legacy.Fixed<FILTER_AGGREGATE_STANDARD_INFORMATION>();
    l->Flags = FLTFL_ASI_IS_LEGACYFILTER;
    l->Type.LegacyFilter.FilterNameLength = 8;
    l->Type.LegacyFilter.FilterNameBufferOffset = legacyName;
    ASSERT_TRUE(ReadFilterRecord(legacy.bytes.data(), static_cast<uint32_t>(legacy.bytes.size()), &record));
    EXPECT_TRUE(SameText(record.name, L"MRLA", 4));
    EXPECT_FALSE(SameText(record.name, L"MRL", 3));
    EXPECT_EQ(ParseAltitude(record.altitude), 0u) << "no altitude text";

    // Fewer bytes than the entry's kind and flags: nothing to read.
    EXPECT_FALSE(ReadFilterRecord(legacy.bytes.data(), 7, &record));
}

TEST(FilterRecordsTest, InstanceEntriesCarryTheirVolume) {
    RecordBuilder entry(sizeof(INSTANCE_AGGREGATE_STANDARD_INFORMATION));
    const uint16_t instance = entry.Add(L"Lockward");
    const uint16_t altitude = entry.Add(L" 145100");
    const uint16_t volume = entry.Add(L"\\Device\\HarddiskVolume1");
    auto* i = entry.Fixed<INSTANCE_AGGREGATE_STANDARD_INFORMATION>();
    i->Flags = FLTFL_IASI_IS_MINIFILTER;
    i->Type.MiniFilter.FrameID = 1;
    i->Type.MiniFilter.InstanceNameLength = 16;
    i->Type.MiniFilter.InstanceNameBufferOffset = instance;
    i->Type.MiniFilter.AltitudeLength = 14;
    i->Type.MiniFilter.AltitudeBufferOffset = altitude;
    i->Type.MiniFilter.VolumeNameLength = 46;
    i->Type.MiniFilter.VolumeNameBufferOffset = volume;
    InstanceRecord record;
    ASSERT_TRUE(ReadInstanceRecord(entry.bytes.data(), static_cast<uint32_t>(entry.bytes.size()), &record));
    EXPECT_EQ(record.frame, 1u);
    EXPECT_EQ(Text(record.instance), L"Lockward");
    EXPECT_EQ(ParseAltitude(record.altitude), 145100u) << "leading blanks are allowed";
    EXPECT_EQ(Text(record.volume), L"\\Device\\HarddiskVolume1");
    EXPECT_EQ(record.volumeOffset, volume);
    i->Type.MiniFilter.VolumeNameLength = 0xFFFF;
    EXPECT_FALSE(ReadInstanceRecord(entry.bytes.data(), static_cast<uint32_t>(entry.bytes.size()), &record));
}

TEST(FilterRecordsTest, AltitudesGiveTheirIntegerPart) {
    auto parse = [](const std::wstring& text) {
        return ParseAltitude(RecordText{reinterpret_cast<const uint8_t*>(text.data()),
                                        static_cast<uint32_t>(text.size() * sizeof(wchar_t))});
    };
    EXPECT_EQ(parse(L"385100"), 385100u);
    EXPECT_EQ(parse(L"40.5"), 40u);
    EXPECT_EQ(parse(L"x12"), 0u);
    EXPECT_EQ(parse(L"99999999999"), UINT32_MAX);
}

TEST(TelemetryTextTest, FoundEntriesFollowTheFrameCountInTableOrder) {
    WatchedInstance instances[kWatchedInstanceCount] = {
        {L"F", L"A", "AFrame", "AAltitude", 0, 328010},   {L"F", L"B", "BFrame", "BAltitude", kNoFrame, 0},
        {L"F", L"C", "CFrame", "CAltitude", 3, 40},       {L"G", L"D", "DFrame", "DAltitude", kNoFrame, 0},
        {L"H", L"E", "EFrame", "EAltitude", kNoFrame, 0},
    };
    WatchedLegacyFilter legacy[kWatchedLegacyFilterCount] = {
        {L"L1", "L1Altitude", 0}, {L"L2", "L2Altitude", 20}, {L"L3", "L3Altitude", 0}};
    std::ostringstream out;
    WriteTelemetryText(out, instances, legacy, 3);
    EXPECT_EQ(out.str(),
              "\"NumFrames\":3,\"AFrame\":0,\"AAltitude\":328010,\"CFrame\":3,\"CAltitude\":40,"
              "\"L2Altitude\":20");

    for (auto& instance : instances) instance.altitude = 0;
    for (auto& filter : legacy) filter.altitude = 0;
    std::ostringstream nothing;
    WriteTelemetryText(nothing, instances, legacy, 0);
    EXPECT_EQ(nothing.str(), "\"NumFrames\":0");
}

HRESULT FoundProgramData(PWSTR* folder) {
    static const wchar_t kFolder[] = L"D:\\Shared Data";
    *folder = static_cast<PWSTR>(CoTaskMemAlloc(sizeof kFolder));
    if (*folder == nullptr) return E_OUTOFMEMORY;
    memcpy(*folder, kFolder, sizeof kFolder);
    return S_OK;
}

HRESULT MissingProgramData(PWSTR* folder) {
    *folder = nullptr;
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

// The data directory is the ProgramData lookup's folder + "\Kestro"; a failed lookup writes its
// line to the fallback text log in the temporary directory and throws, so no snapshot is written.
TEST(CommonDataDirectoryTest, FollowsTheLookupAndReportsItsFailureInTheFallbackLog) {
    nvx_test::TempDirectory temp(L"nvxtelemetry-");
    ASSERT_FALSE(temp.path().empty());
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", temp.path().c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(L"TEMP", temp.path().c_str()));

    SetProgramDataLookupForTesting(FoundProgramData);
    EXPECT_EQ(GetCommonDataDirectory(), L"D:\\Shared Data\\Kestro");

    SetProgramDataLookupForTesting(MissingProgramData);
    try {
        GetCommonDataDirectory();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to locate ProgramData directory");
    }
    EXPECT_THROW(GetTelemetryAndWriteToFile(), std::runtime_error);
    SetProgramDataLookupForTesting(nullptr);

    const std::wstring& log = GetFallbackTextLog().Path();
    ASSERT_EQ(log.compare(0, temp.path().size(), temp.path()), 0) << "the fallback log is in the temporary directory";
    const std::string bytes = nvx_test::ReadFileBytes(log);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    EXPECT_EQ(text.rfind(L"Started ", 0), 0u) << "the first line";
    const std::wstring line = L", ERROR : Failed to locate ProgramData directory using SHGetKnownFolderPath.\r\n";
    size_t count = 0;
    for (size_t at = text.find(line); at != std::wstring::npos; at = text.find(line, at + 1)) ++count;
    EXPECT_EQ(count, 2u) << "one line for each failed lookup";
    EXPECT_EQ(text.size() - text.rfind(line), line.size()) << "nothing after the last";

    // The real lookup is back: on this machine it finds ProgramData.
    EXPECT_NO_THROW(GetCommonDataDirectory());
}

// DebugTrace's lines, caught as OutputDebugStringA raises them, before a debugger or monitor could.
std::vector<std::string>* gTraces = nullptr;

LONG CALLBACK CatchTrace(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    if (gTraces != nullptr && r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2) {
        gTraces->push_back(reinterpret_cast<const char*>(r->ExceptionInformation[1]));
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The snapshot's walk over a described filter stack, answered by the fltlib.dll stand-in copied
// beside this test (NVXSIM_FILTER_STACK names the description; its lie file lies beside it). The
// walk takes fltlib.dll from System32 unless the process already has one, so the test loads the
// stand-in from its own directory first.
class TelemetryWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        HMODULE fltlib = LoadLibraryExW(L"fltlib.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
        ASSERT_NE(fltlib, nullptr);
        ASSERT_NE(GetProcAddress(fltlib, "NvxSimFltlibStandIn"), nullptr);
        ASSERT_TRUE(SetEnvironmentVariableW(L"NVXSIM_FILTER_STACK", (dir_.path() + L"\\filters.txt").c_str()));
        wchar_t device[260] = {};
        uint32_t chars = 0;
        ASSERT_TRUE(GetSystemDriveDevice(device, &chars));
        volume_.assign(device, chars);
        handler_ = AddVectoredExceptionHandler(1, CatchTrace);
        ASSERT_NE(handler_, nullptr);
        gTraces = &traces_;
    }

    void TearDown() override {
        gTraces = nullptr;
        if (handler_ != nullptr) RemoveVectoredExceptionHandler(handler_);
        SetEnvironmentVariableW(L"NVXSIM_FILTER_STACK", nullptr);
    }

    // Writes the description ("{V}" is the system volume) and the lie ("" for none).
    void Describe(std::string stack, const std::string& lie) {
        const std::string volume(volume_.begin(), volume_.end());
        for (size_t at = stack.find("{V}"); at != std::string::npos; at = stack.find("{V}", at)) {
            stack.replace(at, 3, volume);
        }
        ASSERT_TRUE(nvx_test::WriteFileBytes(dir_.path() + L"\\filters.txt", stack));
        const std::wstring liePath = dir_.path() + L"\\fltlib-lie.txt";
        if (lie.empty()) {
            DeleteFileW(liePath.c_str());
        } else {
            ASSERT_TRUE(nvx_test::WriteFileBytes(liePath, lie + "\n"));
        }
    }

    // One snapshot's line, with the DebugTrace lines it wrote.
    std::pair<std::string, std::vector<std::string>> Snapshot() {
        traces_.clear();
        std::ostringstream out;
        GetDriverTelemetry(out);
        return {out.str(), traces_};
    }

    nvx_test::TempDirectory dir_{L"nvxwalk-"};
    std::wstring volume_;
    std::vector<std::string> traces_;
    PVOID handler_ = nullptr;
};

// Walk order: StorQuota, MRLA, Kestro Vantor (Antivirus, then Activity Monitor), ravelflt.
const char kLieStack[] =
    "minifilter\tStorQuota\t0\t45000\n"
    "instance\tStorQuota\tStorQuota Instance\t45000\t{V}\n"
    "legacy\tMRLA\t329000\n"
    "minifilter\tKestro Vantor\t1\t328010\n"
    "instance\tKestro Vantor\tKestroNVX Antivirus Instance\t328010\t{V}\n"
    "instance\tKestro Vantor\tKestroNVX Activity Monitor Instance\t385100\t{V}\n"
    "minifilter\travelflt\t2\t145100\n"
    "instance\travelflt\tLockward\t145100.5\t{V}\n";

// Every bad record the stand-in can hand back: nothing is read outside the bytes returned (or the
// buffer, when more is claimed), the walk that meets it stops with its DebugTrace line or passes
// it over as the rules say, and the line keeps what was found before.
TEST_F(TelemetryWalkTest, BadRecordsAndFailingWalksShortenTheLineWithTheirTraces) {
    const std::string truth =
        "\"NumFrames\":2,\"NVXAMFrame\":1,\"NVXAMAltitude\":328010,\"NVXEDRFrame\":1,\"NVXEDRAltitude\":385100,"
        "\"RavelFrame\":2,\"RavelAltitude\":145100,\"MRLAAltitude\":329000";
    // The filter walk stops at ravelflt: what came before stays, the frame count is 0.
    const std::string filtersStopped =
        "\"NumFrames\":0,\"NVXAMFrame\":1,\"NVXAMAltitude\":328010,\"NVXEDRFrame\":1,\"NVXEDRAltitude\":385100,"
        "\"MRLAAltitude\":329000";
    const std::string ravelUnmatched =
        "\"NumFrames\":2,\"NVXAMFrame\":1,\"NVXAMAltitude\":328010,\"NVXEDRFrame\":1,\"NVXEDRAltitude\":385100,"
        "\"MRLAAltitude\":329000";
    // Each instance walk loses Activity Monitor, its second entry.
    const std::string instancesCut =
        "\"NumFrames\":2,\"NVXAMFrame\":1,\"NVXAMAltitude\":328010,\"RavelFrame\":2,\"RavelAltitude\":145100,"
        "\"MRLAAltitude\":329000";
    const std::string ravelEntry = "56";  // ravelflt's filter entry: 28 bytes and "ravelflt", "145100"
    const std::string unfit = "FilterInstanceFindNext: instance entry does not fit the bytes returned\n";
    struct Case {
        std::string lie, line;
        std::vector<std::string> traces;
    } cases[] = {
        {"", truth, {}},
        {"kind=name-length after=3",
         filtersStopped,
         {"getDriverTelemetryInformation: filter entry does not fit the " + ravelEntry + " bytes returned\n"}},
        {"kind=name-offset after=3",
         filtersStopped,
         {"getDriverTelemetryInformation: filter entry does not fit the " + ravelEntry + " bytes returned\n"}},
        // More bytes claimed than the 1024-byte buffer holds: only the buffer is read.
        {"kind=returned-past-buffer after=3",
         filtersStopped,
         {"getDriverTelemetryInformation: filter entry does not fit the 1024 bytes returned\n"}},
        {"kind=unknown-type after=3", filtersStopped, {"getDriverTelemetryInformation: invalid filter type 4\n"}},
        {"kind=odd-name-length after=3", ravelUnmatched, {}},
        {"kind=filter-next-fails after=3 error=8", filtersStopped, {"FilterFindNext error: 80070008\n"}},
        // Kestro Vantor's instances are walked once for each of its three watched rows.
        {"kind=name-length walk=instances after=1", instancesCut, {unfit, unfit, unfit}},
        {"kind=name-offset walk=instances after=1", instancesCut, {unfit, unfit, unfit}},
        {"kind=returned-past-buffer walk=instances after=1", instancesCut, {unfit, unfit, unfit}},
        {"kind=name-length walk=instances", "\"NumFrames\":2,\"MRLAAltitude\":329000", {unfit, unfit, unfit, unfit}},
        // Entries of another kind, without a matching name, or after which the walk fails are
        // passed over or end the instance walk quietly.
        {"kind=unknown-type walk=instances after=1", instancesCut, {}},
        {"kind=odd-name-length walk=instances after=1", instancesCut, {}},
        {"kind=no-instance-name after=1", instancesCut, {}},
        {"kind=instance-next-fails after=1 error=87", instancesCut, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lie);
        Describe(kLieStack, c.lie);
        const auto [line, traces] = Snapshot();
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(traces, c.traces);
    }
}

}  // namespace
