#include "telemetry/telemetry.h"

#include <fltuser.h>
#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "perf/periodic_task.h"
#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/system_library.h"
#include "telemetry/fallback_text_log.h"
#include "telemetry/filter_records.h"
#include "telemetry/telemetry_testing.h"

namespace Kestro::Telemetry {

namespace {

// The Filter Manager's library is loaded from System32 at the first walk rather than imported, so
// that no fltlib.dll but the system's is ever taken (runtime/system_library.h). The exports called:
enum FltlibProc : size_t {
    kFindFirst,
    kFindNext,
    kFindClose,
    kInstanceFindFirst,
    kInstanceFindNext,
    kInstanceFindClose
};
const char* const kFltlibProcNames[] = {"FilterFindFirst",         "FilterFindNext",         "FilterFindClose",
                                        "FilterInstanceFindFirst", "FilterInstanceFindNext", "FilterInstanceFindClose"};
FARPROC gFltlibProcs[std::size(kFltlibProcNames)];
SgSystemLibrary gFltlib = SG_SYSTEM_LIBRARY("fltlib.dll", kFltlibProcNames, gFltlibProcs);

// Without the library a call answers the HRESULT of the load's Win32 error.
template <typename F, typename... Args>
HRESULT Fltlib(FltlibProc proc, Args... args) {
    return SgCallSystemLibrary<F>(
        &gFltlib, proc, [](DWORD error) { return HRESULT_FROM_WIN32(error); }, args...);
}

constexpr uint64_t kTelemetryPeriodMs = 60ull * 60 * 1000;
constexpr HRESULT kInsufficientBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
constexpr HRESULT kNoMoreItems = HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
static_assert(static_cast<uint32_t>(kInsufficientBuffer) == 0x8007007Au);
static_assert(static_cast<uint32_t>(kNoMoreItems) == 0x80070103u);

std::unique_ptr<Perf::PeriodicTask> gTelemetryTask;

HRESULT KnownProgramDataFolder(PWSTR* folder) { return SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, folder); }

// Only a test replaces it (telemetry_testing.h); the task's thread reads it.
ProgramDataLookup gProgramDataLookup = KnownProgramDataFolder;

// A zero-filled buffer for one enumeration entry; empty when there is no memory for it.
std::vector<uint8_t> EntryBuffer(size_t size) {
    try {
        return std::vector<uint8_t>(size, 0);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

// True when `name` (as the tables hold it) equals the record's text.
bool NameIs(const RecordText& text, const wchar_t* name) { return SameText(text, name, wcslen(name)); }

// Checks one filter entry against the tables. False when the walk must stop: an entry of an
// unknown kind, or one whose texts do not fit the returned bytes.
bool TakeFilterEntry(const uint8_t* entry, uint32_t returned, WatchedInstance* instances, const wchar_t* volume,
                     uint32_t volumeChars, WatchedLegacyFilter* legacy, uint32_t* highestFrame) {
    FilterRecord record;
    if (!ReadFilterRecord(entry, returned, &record)) {
        DebugTrace("getDriverTelemetryInformation: filter entry does not fit the %lu bytes returned\n",
                   static_cast<unsigned long>(returned));
        return false;
    }
    if (record.flags == FLTFL_ASI_IS_LEGACYFILTER) {
        for (int i = 0; legacy != nullptr && i < kWatchedLegacyFilterCount; ++i) {
            if (NameIs(record.name, legacy[i].filterName)) legacy[i].altitude = ParseAltitude(record.altitude);
        }
        return true;
    }
    if (record.flags == FLTFL_ASI_IS_MINIFILTER) {
        if (record.frame > *highestFrame) *highestFrame = record.frame;
        for (int i = 0; i < kWatchedInstanceCount; ++i) {
            if (!NameIs(record.name, instances[i].filterName)) continue;
            GetInstanceAltitudeAndFrame(instances[i].filterName, instances[i].instanceName, volume, volumeChars,
                                        &instances[i].frame, &instances[i].altitude);
        }
        return true;
    }
    DebugTrace("getDriverTelemetryInformation: invalid filter type %d\n", static_cast<int>(record.flags));
    return false;
}

void AppendPair(std::ostream& out, bool* first, const char* key, uint32_t value) {
    if (!*first) out << ',';
    *first = false;
    out << '"' << key << "\":" << value;
}

}  // namespace

void DebugTrace(const char* format, ...) {
    char text[1000];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    OutputDebugStringA(text);
}

void WriteTelemetryText(std::ostream& out, const WatchedInstance (&instances)[kWatchedInstanceCount],
                        const WatchedLegacyFilter (&legacy)[kWatchedLegacyFilterCount], uint32_t frameCount) {
    bool first = true;
    AppendPair(out, &first, "NumFrames", frameCount);
    for (const WatchedInstance& instance : instances) {
        if (instance.altitude == 0) continue;
        AppendPair(out, &first, instance.frameKey, instance.frame);
        AppendPair(out, &first, instance.altitudeKey, instance.altitude);
    }
    for (const WatchedLegacyFilter& filter : legacy) {
        if (filter.altitude != 0) AppendPair(out, &first, filter.altitudeKey, filter.altitude);
    }
}

void GetInstanceAltitudeAndFrame(const wchar_t* filterName, const wchar_t* instanceName, const wchar_t* volume,
                                 uint32_t volumeChars, uint32_t* frame, uint32_t* altitude) {
    if (filterName == nullptr || instanceName == nullptr || volume == nullptr || volumeChars == 0 || frame == nullptr ||
        altitude == nullptr) {
        DebugTrace("Invalid parameters\n");
        return;
    }
    DWORD returned = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    HRESULT hr = Fltlib<decltype(&::FilterInstanceFindFirst)>(
        kInstanceFindFirst, filterName, InstanceAggregateStandardInformation, nullptr, 0, &returned, &find);
    if (hr != kInsufficientBuffer) {
        DebugTrace("FilterInstanceFindFirst error: %08x\n", static_cast<unsigned>(hr));
        return;
    }
    if (returned == 0) {
        DebugTrace("FilterInstanceFindFirst error: bytes returned is zero\n");
        return;
    }
    std::vector<uint8_t> buffer = EntryBuffer(returned);
    if (buffer.empty()) {
        DebugTrace("Malloc failed\n");
        return;
    }
    hr = Fltlib<decltype(&::FilterInstanceFindFirst)>(kInstanceFindFirst, filterName,
                                                      InstanceAggregateStandardInformation, buffer.data(),
                                                      static_cast<DWORD>(buffer.size()), &returned, &find);
    if (hr != S_OK) {
        DebugTrace("FilterInstanceFindFirst error: %08x\n", static_cast<unsigned>(hr));
        return;
    }
    if (find == INVALID_HANDLE_VALUE) {
        DebugTrace("FilterInstanceFindFirst: the handle is INVALID_HANDLE_VALUE\n");
        return;
    }
    const size_t instanceChars = wcslen(instanceName);
    for (;;) {
        InstanceRecord record;
        if (!ReadInstanceRecord(buffer.data(), returned < buffer.size() ? returned : buffer.size(), &record)) {
            DebugTrace("FilterInstanceFindNext: instance entry does not fit the bytes returned\n");
            break;
        }
        if (record.flags == FLTFL_IASI_IS_LEGACYFILTER) {
            DebugTrace("Legacy filter type returned for NVX\n");
            break;
        }
        if (record.flags == FLTFL_IASI_IS_MINIFILTER && record.volumeOffset != 0 &&
            SameText(record.volume, volume, volumeChars) && SameText(record.instance, instanceName, instanceChars)) {
            *altitude = ParseAltitude(record.altitude);
            *frame = record.frame;
        }
        hr = Fltlib<decltype(&::FilterInstanceFindNext)>(kInstanceFindNext, find, InstanceAggregateStandardInformation,
                                                         buffer.data(), static_cast<DWORD>(buffer.size()), &returned);
        if (hr == kInsufficientBuffer) {
            if (returned == 0) {
                DebugTrace("FilterInstanceFindNext error: bytes returned is zero\n");
                break;
            }
            buffer = EntryBuffer(returned);
            if (buffer.empty()) {
                DebugTrace("Malloc failed\n");
                break;
            }
            hr = Fltlib<decltype(&::FilterInstanceFindNext)>(kInstanceFindNext, find,
                                                             InstanceAggregateStandardInformation, buffer.data(),
                                                             static_cast<DWORD>(buffer.size()), &returned);
        }
        if (hr != S_OK) break;  // the end of the list, or a failure: both end the walk quietly
    }
    if (find != nullptr && find != INVALID_HANDLE_VALUE)
        Fltlib<decltype(&::FilterInstanceFindClose)>(kInstanceFindClose, find);
}

void getDriverTelemetryInformation(WatchedInstance* instances, const wchar_t* volume, uint32_t volumeChars,
                                   WatchedLegacyFilter* legacy, uint32_t* frameCount) {
    if (instances == nullptr || volume == nullptr || volumeChars == 0 || frameCount == nullptr) {
        DebugTrace("getDriverTelemetryInformation: Invalid parameters\n");
        return;
    }
    DWORD returned = 0;
    HANDLE find = INVALID_HANDLE_VALUE;
    HRESULT hr = Fltlib<decltype(&::FilterFindFirst)>(kFindFirst, FilterAggregateStandardInformation, nullptr, 0,
                                                      &returned, &find);
    if (hr != kInsufficientBuffer) {
        DebugTrace("FilterFindFirst error: %08x\n", static_cast<unsigned>(hr));
        return;
    }
    if (returned == 0) {
        DebugTrace("FilterFindFirst error: bytes returned is zero\n");
        return;
    }
    std::vector<uint8_t> buffer = EntryBuffer(2 * static_cast<size_t>(returned) > 1024 ? 2 * size_t{returned} : 1024);
    if (buffer.empty()) {
        DebugTrace("Malloc failed\n");
        return;
    }
    hr = Fltlib<decltype(&::FilterFindFirst)>(kFindFirst, FilterAggregateStandardInformation, buffer.data(),
                                              static_cast<DWORD>(buffer.size()), &returned, &find);
    if (hr != S_OK) {
        DebugTrace("FilterFindFirst error: %08x\n", static_cast<unsigned>(hr));
        return;
    }
    if (find == INVALID_HANDLE_VALUE) {
        DebugTrace("filterHandle is INVALID_HANDLE_VALUE\n");
        return;
    }
    uint32_t highestFrame = 0;
    for (;;) {
        const uint32_t valid = returned < buffer.size() ? returned : static_cast<uint32_t>(buffer.size());
        if (!TakeFilterEntry(buffer.data(), valid, instances, volume, volumeChars, legacy, &highestFrame)) break;
        hr = Fltlib<decltype(&::FilterFindNext)>(kFindNext, find, FilterAggregateStandardInformation, buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), &returned);
        if (hr == kInsufficientBuffer) {
            if (returned == 0) {
                DebugTrace("FilterFindNext error: bytes returned is zero\n");
                break;
            }
            buffer = EntryBuffer(returned);
            if (buffer.empty()) {
                DebugTrace("Malloc failed\n");
                break;
            }
            hr = Fltlib<decltype(&::FilterFindNext)>(kFindNext, find, FilterAggregateStandardInformation, buffer.data(),
                                                     static_cast<DWORD>(buffer.size()), &returned);
        }
        if (hr == kNoMoreItems) {
            *frameCount = highestFrame;
            break;
        }
        if (hr != S_OK) {  // a walk that fails midway keeps what it found, without a frame count
            DebugTrace("FilterFindNext error: %08x\n", static_cast<unsigned>(hr));
            break;
        }
    }
    if (find != nullptr && find != INVALID_HANDLE_VALUE) Fltlib<decltype(&::FilterFindClose)>(kFindClose, find);
}

bool GetSystemDriveDevice(wchar_t (&device)[260], uint32_t* chars) {
    wchar_t drive[3] = {};
    size_t required = 0;
    const errno_t error = _wgetenv_s(&required, drive, 3, L"SystemDrive");
    if (error != 0 || required == 0) {
        DebugTrace("_wgetenv_s error: %08x\n", static_cast<unsigned>(error));
        return false;
    }
    const DWORD count = QueryDosDeviceW(drive, device, 260);
    if (count < 3) {
        DebugTrace("QueryDosDeviceW error: %08x\n", static_cast<unsigned>(GetLastError()));
        return false;
    }
    *chars = count - 2;  // the name's terminator and the list's
    return true;
}

void GetDriverTelemetry(std::ostream& out) {
    WatchedInstance instances[kWatchedInstanceCount] = {
        {L"Kestro Vantor", L"KestroNVX Antivirus Instance", "NVXAMFrame", "NVXAMAltitude", kNoFrame, 0},
        {L"Kestro Vantor", L"KestroNVX Security Enhancer Instance", "NVXTPFrame", "NVXTPAltitude", kNoFrame, 0},
        {L"Kestro Vantor", L"KestroNVX Activity Monitor Instance", "NVXEDRFrame", "NVXEDRAltitude", kNoFrame, 0},
        {L"QAVOnAccess", L"QAVOnAccess Instance", "QAVFrame", "QAVAltitude", kNoFrame, 0},
        {L"ravelflt", L"Lockward", "RavelFrame", "RavelAltitude", kNoFrame, 0},
    };
    WatchedLegacyFilter legacy[kWatchedLegacyFilterCount] = {
        {L"MRLA", "MRLAAltitude", 0},
        {L"MRLB", "MRLBAltitude", 0},
        {L"MRLC", "MRLCAltitude", 0},
    };
    uint32_t frameCount = 0;
    wchar_t device[260] = {};
    uint32_t chars = 0;
    if (GetSystemDriveDevice(device, &chars))
        getDriverTelemetryInformation(instances, device, chars, legacy, &frameCount);
    WriteTelemetryText(out, instances, legacy, frameCount);
}

std::wstring GetCommonDataDirectory() {
    PWSTR folder = nullptr;
    if (FAILED(gProgramDataLookup(&folder))) {
        CoTaskMemFree(folder);
        GetFallbackTextLog().LogLine(TextLogLevel::Error,
                                     L"Failed to locate ProgramData directory using SHGetKnownFolderPath.");
        throw std::runtime_error("Failed to locate ProgramData directory");
    }
    std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owned(folder, CoTaskMemFree);
    return std::wstring(folder) + L"\\" + kVendorDirName;
}

void SetProgramDataLookupForTesting(ProgramDataLookup lookup) {
    gProgramDataLookup = lookup != nullptr ? lookup : KnownProgramDataFolder;
}

void GetTelemetryAndWriteToFile() {
    SgDebugPrint(SG_FAC_TELEMETRY, SG_LVL_INFO, "Getting telemetry...");
    std::ostringstream text;
    GetDriverTelemetry(text);
    const std::wstring path = GetCommonDataDirectory() + L"\\" + kProductDirName + L"\\telemetry.log";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SgDebugPrint(SG_FAC_TELEMETRY, SG_LVL_ERROR, "GetTelemetryAndWriteToFile failed to open file: %S error: %lu",
                     path.c_str(), static_cast<unsigned long>(GetLastError()));
        return;
    }
    const std::string line = text.str();
    DWORD written = 0;
    if (!WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) || written != line.size()) {
        SgDebugPrint(SG_FAC_TELEMETRY, SG_LVL_ERROR,
                     "GetTelemetryAndWriteToFile failed to write to file: %S error: %lu", path.c_str(),
                     static_cast<unsigned long>(GetLastError()));
    }
    CloseHandle(file);
}

}  // namespace Kestro::Telemetry

bool InitTelemetry() {
    using Kestro::Telemetry::gTelemetryTask;
    SgDebugPrint(SG_FAC_TELEMETRY, SG_LVL_INFO, "Initialising telemetry...");
    try {
        auto task = std::make_unique<Kestro::Perf::PeriodicTask>(Kestro::Telemetry::GetTelemetryAndWriteToFile,
                                                                 Kestro::Telemetry::kTelemetryPeriodMs);
        std::swap(task, gTelemetryTask);
        return true;  // a task held before, now in `task`, is stopped and joined here
    } catch (const std::exception& e) {
        SgDebugPrint(SG_FAC_TELEMETRY, SG_LVL_ERROR, "Telemetry initialization error: %s", e.what());
    } catch (...) {
        SgDebugPrint(SG_FAC_TELEMETRY, SG_LVL_ERROR, "Telemetry initialization unhandled exception");
    }
    return false;
}
