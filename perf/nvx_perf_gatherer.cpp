#include "perf/nvx_perf_gatherer.h"

#include <pdhmsg.h>
#include <shlobj.h>

#include <iterator>
#include <stdexcept>
#include <vector>

#include "perf/counter_paths.h"
#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/registry.h"
#include "runtime/system_library.h"

namespace Kestro::Perf {

const char kTotalsOnlySet[] = "Kestro.NVX performance";
const char* const PerfCounterSets[kPerfCounterSetCount] = {
    kTotalsOnlySet,
    "Kestro.NVX caching",
    "Kestro.NVX driver state",
    "Kestro.NVX process/thread/image tracking stats",
    "Kestro.NVX pinned scan stats",
    "Kestro.NVX boot pinned scan stats",
    "Kestro.NVX scan types stats",
    "Kestro.NVX communication stats for QMT",
    "Kestro.NVX communication stats for QAV",
    "Kestro.NVX Event Journal stats",
    "Kestro.NVX Event Journal indexed stats",
};

namespace {

// PDH is loaded from System32 at the first discovery rather than imported, so that no pdh.dll
// but the system's is ever taken (runtime/system_library.h). The exports called, in this order:
enum PdhProc : size_t {
    kEnumObjectItemsA,
    kOpenQueryA,
    kAddEnglishCounterA,
    kCollectQueryData,
    kGetRawCounterValue,
    kCloseQuery
};
const char* const kPdhProcNames[] = {"PdhEnumObjectItemsA", "PdhOpenQueryA",         "PdhAddEnglishCounterA",
                                     "PdhCollectQueryData", "PdhGetRawCounterValue", "PdhCloseQuery"};
FARPROC gPdhProcs[std::size(kPdhProcNames)];
SgSystemLibrary gPdh = SG_SYSTEM_LIBRARY("pdh.dll", kPdhProcNames, gPdhProcs);

// Without the library a call answers the load's Win32 error, a failure like any other PDH status.
template <typename F, typename... Args>
PDH_STATUS Pdh(PdhProc proc, Args... args) {
    return SgCallSystemLibrary<F>(
        &gPdh, proc, [](DWORD error) { return static_cast<PDH_STATUS>(error); }, args...);
}

constexpr uint32_t kDefaultPeriodSec = 300;
constexpr DWORD kDetailWizard = PERF_DETAIL_WIZARD;
static_assert(kDetailWizard == 400);
// PDH_MORE_DATA as the status type holds it (the header spells it as an unsigned number).
constexpr PDH_STATUS kMoreData = static_cast<PDH_STATUS>(PDH_MORE_DATA);
static_assert(static_cast<uint32_t>(kMoreData) == 0x800007D2u);

// PDH results print as signed decimal numbers.
std::string Result(PDH_STATUS status) { return std::to_string(static_cast<long>(status)); }

// The sampling period in milliseconds: PerfCollectionPeriodSec when it is a non-zero
// REG_DWORD, 300 s otherwise. Read once per gatherer.
uint64_t ReadPeriodMs() {
    uint32_t seconds = kDefaultPeriodSec;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        uint32_t value = 0;
        if (SgReadRegistryDword(key, L"PerfCollectionPeriodSec", &value) == SG_REG_DWORD_OK && value != 0) {
            seconds = value;
        }
        RegCloseKey(key);
    }
    return static_cast<uint64_t>(seconds) * 1000;
}

// The enumeration's second call may find lists that grew since the size query; the buffers are
// one character longer than asked and zero-filled, and the walk is bounded by the length the
// call returned, so a list without its terminators is never read past its end.
void EnumerateSet(const char* set, std::vector<std::string>* counters, std::vector<std::string>* instances,
                  bool* hasInstances) {
    DWORD counterLength = 0;
    DWORD instanceLength = 0;
    PDH_STATUS status = Pdh<decltype(&::PdhEnumObjectItemsA)>(
        kEnumObjectItemsA, nullptr, nullptr, set, nullptr, &counterLength, nullptr, &instanceLength, kDetailWizard, 0);
    if (status != kMoreData) {
        throw std::runtime_error(std::string("PdhEnumObjectItemsA (1st) for ") + set +
                                 ", unexpected result: " + Result(status));
    }
    if (counterLength == 0)
        throw std::runtime_error(std::string("PdhEnumObjectItemsA (1st) for ") + set + ": No counters");
    std::vector<char> counterBuffer(counterLength + 1, '\0');
    std::vector<char> instanceBuffer(instanceLength != 0 ? instanceLength + 1 : 0, '\0');
    status = Pdh<decltype(&::PdhEnumObjectItemsA)>(
        kEnumObjectItemsA, nullptr, nullptr, set, counterBuffer.data(), &counterLength,
        instanceBuffer.empty() ? nullptr : instanceBuffer.data(), &instanceLength, kDetailWizard, 0);
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(std::string("PdhEnumObjectItemsA (2nd) for ") + set +
                                 ": unexpected result: " + Result(status));
    }
    if (counterLength == 0)
        throw std::runtime_error(std::string("PdhEnumObjectItemsA (2nd) for ") + set + ": No counters");
    *counters = SplitMultiString(counterBuffer.data(), std::min<size_t>(counterLength, counterBuffer.size()));
    *hasInstances = instanceLength != 0;
    *instances = SplitMultiString(instanceBuffer.data(), std::min<size_t>(instanceLength, instanceBuffer.size()));
}

// The leading decimal integer of a version text: optional blanks and sign, then digits; 0 when
// there are none.
long LeadingInteger(const wchar_t* text) {
    while (*text == L' ' || *text == L'\t') ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    long value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        if (value < 100000000) value = value * 10 + (*text - L'0');
    }
    return negative ? -value : value;
}

std::unique_ptr<NvxPerfGatherer> gGatherer;

}  // namespace

std::wstring GetPerfLogDirectory() {
    PWSTR folder = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder);
    if (FAILED(hr)) {
        CoTaskMemFree(folder);
        throw std::runtime_error("SHGetKnownFolderPath failed, hresult: " + std::to_string(static_cast<long>(hr)));
    }
    std::wstring directory;
    try {
        directory =
            std::wstring(folder) + L"\\" + kVendorDirName + L"\\" + kProductDirName + L"\\" + kLogsDirName + L"\\Perf";
    } catch (...) {
        CoTaskMemFree(folder);
        throw;
    }
    CoTaskMemFree(folder);
    return directory;
}

NvxPerfGatherer::NvxPerfGatherer() : logger_(GetPerfLogDirectory(), *this) {
    task_ = std::make_unique<PeriodicTask>([this] { LogSample(); }, ReadPeriodMs());
}

NvxPerfGatherer::~NvxPerfGatherer() {
    // The thread goes first: it is the only user of everything below.
    task_.reset();
    if (query_ != nullptr) Pdh<decltype(&::PdhCloseQuery)>(kCloseQuery, query_);
}

void NvxPerfGatherer::Gather() {
    try {
        if (!initialised_) {
            DiscoverCounters();
            OpenQuery();
            initialised_ = true;
        }
        CollectValues();
    } catch (...) {
        ResetCounters();
        throw;
    }
}

void NvxPerfGatherer::DiscoverCounters() {
    std::vector<std::string> paths;
    for (const char* set : PerfCounterSets) {
        std::vector<std::string> counters;
        std::vector<std::string> instances;
        bool hasInstances = false;
        EnumerateSet(set, &counters, &instances, &hasInstances);
        const bool totalsOnly = set == kTotalsOnlySet;
        for (std::string& path : CounterPaths(set, counters, hasInstances, instances, totalsOnly)) {
            paths.push_back(std::move(path));
        }
    }
    names_ = std::move(paths);
    values_.clear();
}

void NvxPerfGatherer::OpenQuery() {
    PDH_HQUERY query = nullptr;
    PDH_STATUS status = Pdh<decltype(&::PdhOpenQueryA)>(kOpenQueryA, nullptr, 0, &query);
    if (status != ERROR_SUCCESS) throw std::runtime_error("PdhOpenQueryA unexpected result: " + Result(status));
    std::map<std::string, PDH_HCOUNTER> counters;
    for (const std::string& path : names_) {
        PDH_HCOUNTER counter = nullptr;
        status = Pdh<decltype(&::PdhAddEnglishCounterA)>(kAddEnglishCounterA, query, path.c_str(), 0, &counter);
        if (status != ERROR_SUCCESS) {
            Pdh<decltype(&::PdhCloseQuery)>(kCloseQuery, query);
            throw std::runtime_error("PdhAddEnglishCounterA for " + path + ", unexpected result: " + Result(status));
        }
        counters[path] = counter;
    }
    std::swap(query_, query);
    counters_ = std::move(counters);
    if (query != nullptr) Pdh<decltype(&::PdhCloseQuery)>(kCloseQuery, query);
    // Every column's handle and value, in column order, so that a sample neither looks a name up
    // nor allocates. A repeated path shares its last handle and its one value, as in the maps.
    columns_.clear();
    columns_.reserve(names_.size());
    for (const std::string& path : names_) columns_.push_back({counters_.at(path), &values_[path]});
}

void NvxPerfGatherer::CollectValues() {
    PDH_STATUS status = Pdh<decltype(&::PdhCollectQueryData)>(kCollectQueryData, query_);
    if (status != ERROR_SUCCESS) throw std::runtime_error("PdhCollectQueryData unexpected result: " + Result(status));
    // Values are stored in place: a failure part-way resets the gatherer (Gather), so a sample is
    // never seen half written.
    for (size_t i = 0; i < columns_.size(); ++i) {
        PDH_RAW_COUNTER raw{};
        status = Pdh<decltype(&::PdhGetRawCounterValue)>(kGetRawCounterValue, columns_[i].counter, nullptr, &raw);
        if (status != ERROR_SUCCESS) {
            throw std::runtime_error("PdhGetRawCounterValue " + names_[i] + " unexpected result: " + Result(status));
        }
        if (raw.CStatus != 0) {
            throw std::runtime_error("PdhGetRawCounterValue " + names_[i] +
                                     " cerror: " + std::to_string(static_cast<unsigned long>(raw.CStatus)));
        }
        *columns_[i].value = raw.FirstValue;
    }
}

void NvxPerfGatherer::ResetCounters() {
    columns_.clear();
    counters_.clear();
    if (query_ != nullptr) Pdh<decltype(&::PdhCloseQuery)>(kCloseQuery, query_);
    query_ = nullptr;
    values_.clear();
    names_.clear();
    initialised_ = false;
}

void NvxPerfGatherer::LogSample() noexcept {
    try {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        logger_.Write(now);
    } catch (const std::exception& e) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_ERROR, "Perf logger error: %s", e.what());
    } catch (...) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_ERROR, "Perf logger unhandled exception");
    }
}

}  // namespace Kestro::Perf

using Kestro::Perf::NvxPerfGatherer;

bool InitPerfLogger() {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverKeyPath, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_ERROR, "Perf logger: Could not open NVX driver key, error %ld",
                     static_cast<long>(rc));
        SgDebugPrint(SG_FAC_FILE, SG_LVL_INFO, "Perf logger: Will not collect performance counters");
        return true;
    }
    wchar_t version[200 + 1] = {};
    DWORD size = sizeof(version) - sizeof(wchar_t);
    DWORD type = 0;
    rc = RegQueryValueExW(key, kVersionValue, nullptr, &type, reinterpret_cast<BYTE*>(version), &size);
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_INFO, "Perf logger: Could not read NVX driver version: type %lu error %ld",
                     static_cast<unsigned long>(type), static_cast<long>(rc));
        RegCloseKey(key);
        SgDebugPrint(SG_FAC_FILE, SG_LVL_INFO, "Perf logger: Will not collect performance counters");
        return true;
    }
    RegCloseKey(key);
    version[size / sizeof(wchar_t)] = L'\0';
    SgDebugPrint(SG_FAC_FILE, SG_LVL_INFO, "Perf logger: NVX driver version is %S", version);
    if (Kestro::Perf::LeadingInteger(version) < 2) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_INFO, "Perf logger: Will not collect performance counters");
        return true;
    }
    try {
        auto gatherer = std::make_unique<NvxPerfGatherer>();
        std::swap(gatherer, Kestro::Perf::gGatherer);
        return true;  // an earlier gatherer, now in `gatherer`, is destroyed here
    } catch (const std::exception& e) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_ERROR, "Perf logger initialization error: %s", e.what());
    } catch (...) {
        SgDebugPrint(SG_FAC_FILE, SG_LVL_ERROR, "Perf logger initialization unhandled exception");
    }
    return false;
}

void ShutdownPerfLogger() { Kestro::Perf::gGatherer.reset(); }
