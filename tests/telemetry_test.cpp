// The telemetry snapshot's text work: Filter Manager records read within the bytes returned,
// altitudes parsed, and the output line built from what was found.
#include <gtest/gtest.h>
#include <objbase.h>

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
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

}  // namespace
