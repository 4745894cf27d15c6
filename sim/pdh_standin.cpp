// pdh.dll of the simulated machine: counter-set enumeration and raw counter values from the
// counter-sets file the driver simulator publishes (counter_sets.h). Placed next to a program, it
// is loaded instead of Wine's built-in library, which enumerates no objects and serves no
// arbitrary counters.
//
// The file is read at every PdhEnumObjectItemsA, PdhAddEnglishCounterA and PdhCollectQueryData,
// so a change is seen at the next call without a restart; a file that cannot be read or parsed
// counts as no counter sets and is reported once per read with OutputDebugStringA.
//
// Counter paths (PdhAddEnglishCounterA), local computer only:
//   \Object\Counter  or  \Object(Instance)\Counter
//   - the counter is the text after the last '\' (counter names may hold '/' and parentheses);
//   - the object part is the text between the first '\' and the last one. When it names a set,
//     there is no instance. Otherwise, when it ends in ')', each '(' in it from the left splits it
//     into a candidate set name and an instance (the text up to the final ')'); the first
//     candidate that names a set is taken, so instance names may hold parentheses, '/' and '#'.
//     The instance is matched whole: no parent instance or #index is interpreted, and "*" (a
//     wildcard) matches no instance;
//   - names compare without regard to the case of ASCII letters;
//   - an empty path gives PDH_CSTATUS_NO_COUNTERNAME, a path naming a computer ("\\...")
//     PDH_CSTATUS_NO_MACHINE, anything else that is not of the two forms
//     PDH_CSTATUS_BAD_COUNTERNAME.
// As documented for PDH: an unknown object or counter is not added (PDH_CSTATUS_NO_OBJECT,
// PDH_CSTATUS_NO_COUNTER); an instance that does not exist now is added and answered with
// PDH_CSTATUS_NO_INSTANCE, its values carrying that status until the instance appears. A path
// without an instance for a set with instances, or with one for a set without, is treated as
// an unknown instance.
//
// A value's counter status is the one the counter-sets file gives it (0 when none): a collection
// sets it as the counter's CStatus, so PdhGetRawCounterValue answers it for that counter.
//
// Every other function of pdh.h a program may import is exported too, and fails loudly: it
// returns PDH_NOT_IMPLEMENTED and writes "pdh stand-in: NAME is not implemented".
//
// Quirks: the stand-in can misbehave on purpose, to test how a program takes bad answers. The quirk
// file (nvxsim::PdhQuirkPath(): pdh-quirk.txt beside the counter-sets file) is read at every
// PdhEnumObjectItemsA and PdhCollectQueryData; a missing or empty file means no quirk. Its first
// line that is neither empty nor starts with '#' is "KIND" or "KIND ARG" (one TAB or blank between):
//   slow-collect MS       PdhCollectQueryData takes MS milliseconds (0 to 600000) before collecting;
//   length-past-buffer    the size query asks for 8 characters less than a counter list needs; the
//                         call with that buffer fills it with the list's first part (the last name
//                         cut, no terminators) and succeeds, returning the whole list's length:
//                         more than the buffer given;
//   no-terminator         every list that holds a name lacks its terminators (no zero after the
//                         last name, no empty string ending the list), and the lengths of both
//                         calls count exactly that: the list fills its buffer to the last character;
//   empty-list [zero]     every counter list is empty: just the list's terminator (length 1);
//                         with "zero" the size query answers a counter length of 0;
//   more-data             the call with buffers large enough answers PDH_MORE_DATA again, asking
//                         for 2 characters more in each list;
//   past-terminator       the lengths count 16 characters past a counter list's terminator: the
//                         call with the buffer writes the list, then 16 non-zero characters.
// A line of any other form is reported with OutputDebugStringA and counts as no quirk. The
// instance lists keep their honest form except under no-terminator.
#include <windows.h>

#include <pdh.h>
#include <pdhmsg.h>
#include <winperf.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/counter_sets.h"
#include "sim/simsupport.h"

using nvxsim::CounterSet;
using nvxsim::CounterSets;

namespace {

constexpr PDH_STATUS Pdh(DWORD status) { return static_cast<PDH_STATUS>(status); }

struct CounterPath {
    std::string object;
    bool hasInstance = false;
    std::string instance;
    std::string counter;
};

struct Counter {
    PDH_HQUERY query = nullptr;
    CounterPath path;
    PDH_RAW_COUNTER raw{};  // of the last collection
};

// Handles are numbers never given out twice, so a closed handle stays invalid.
SRWLOCK gLock = SRWLOCK_INIT;
std::map<PDH_HQUERY, std::vector<PDH_HCOUNTER>> gQueries;
std::map<PDH_HCOUNTER, Counter> gCounters;
uintptr_t gLastHandle = 0x50480000;

HANDLE NewHandle() {
    gLastHandle += 4;
    return reinterpret_cast<HANDLE>(gLastHandle);
}

void Say(const std::string& text) { OutputDebugStringA(("pdh stand-in: " + text + "\n").c_str()); }

PDH_STATUS NotImplemented(const char* name) {
    Say(std::string(name) + " is not implemented");
    return Pdh(PDH_NOT_IMPLEMENTED);
}

CounterSets ReadSets() {
    CounterSets sets;
    std::string error;
    if (!nvxsim::ReadCounterSetsFile(nvxsim::CounterSetsPath(), &sets, &error)) {
        Say(error + " (read as no counter sets)");
        sets.clear();
    }
    return sets;
}

enum class QuirkKind { None, SlowCollect, LengthPastBuffer, NoTerminator, EmptyList, MoreData, PastTerminator };

struct Quirk {
    QuirkKind kind = QuirkKind::None;
    uint64_t number = 0;  // slow-collect: milliseconds; empty-list: 1 for "zero"
};

constexpr DWORD kLengthPastBufferCut = 8;
constexpr char kPastTerminator[] = "past-terminator!";  // 16 characters, none of them zero

// The quirk file as the top of this file describes it.
Quirk ReadQuirk() {
    std::string text, error;
    bool missing = false;
    if (!nvxsim::ReadTextFile(nvxsim::PdhQuirkPath(), &text, &missing, &error)) {
        Say(error + " (read as no quirk)");
        return {};
    }
    std::string line;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') break;
        line.clear();
    }
    if (line.empty()) return {};
    const size_t gap = line.find_first_of(" \t");
    const std::string kind = line.substr(0, gap);
    const std::string arg = gap == std::string::npos ? std::string() : line.substr(gap + 1);
    Quirk quirk;
    uint64_t ms = 0;
    if (kind == "slow-collect" && nvxsim::ParseNumber(arg, &ms) && ms <= 600000) {
        quirk = {QuirkKind::SlowCollect, ms};
    } else if (kind == "empty-list" && (arg.empty() || arg == "zero")) {
        quirk = {QuirkKind::EmptyList, arg.empty() ? 0u : 1u};
    } else if (arg.empty() && kind == "length-past-buffer") {
        quirk.kind = QuirkKind::LengthPastBuffer;
    } else if (arg.empty() && kind == "no-terminator") {
        quirk.kind = QuirkKind::NoTerminator;
    } else if (arg.empty() && kind == "more-data") {
        quirk.kind = QuirkKind::MoreData;
    } else if (arg.empty() && kind == "past-terminator") {
        quirk.kind = QuirkKind::PastTerminator;
    } else {
        Say("quirk \"" + line + "\" is not one of this stand-in's (read as no quirk)");
    }
    return quirk;
}

// The counter status of a path in `sets`, and its value when the set holds it.
DWORD Resolve(const CounterSets& sets, const CounterPath& path, LONGLONG* value) {
    const CounterSet* set = nvxsim::FindSet(sets, path.object);
    if (set == nullptr) return PDH_CSTATUS_NO_OBJECT;
    const int counter = set->FindCounter(path.counter);
    if (counter < 0) return PDH_CSTATUS_NO_COUNTER;
    if (set->hasInstances != path.hasInstance) return PDH_CSTATUS_NO_INSTANCE;
    const int instance = path.hasInstance ? set->FindInstance(path.instance) : 0;
    if (instance < 0) return PDH_CSTATUS_NO_INSTANCE;
    *value = set->Value(static_cast<size_t>(instance), static_cast<size_t>(counter));
    return set->Status(static_cast<size_t>(instance), static_cast<size_t>(counter));
}

// Splits a counter path by the rules at the top of this file.
PDH_STATUS ParsePath(const CounterSets& sets, const std::string& text, CounterPath* path) {
    if (text.empty()) return Pdh(PDH_CSTATUS_NO_COUNTERNAME);
    if (text.rfind("\\\\", 0) == 0) return Pdh(PDH_CSTATUS_NO_MACHINE);
    const size_t last = text.rfind('\\');
    if (text[0] != '\\' || last <= 1 || last + 1 == text.size()) return Pdh(PDH_CSTATUS_BAD_COUNTERNAME);
    const std::string objectPart = text.substr(1, last - 1);
    path->counter = text.substr(last + 1);
    path->object = objectPart;
    path->hasInstance = false;
    if (nvxsim::FindSet(sets, objectPart) != nullptr || objectPart.back() != ')') return ERROR_SUCCESS;
    for (size_t open = objectPart.find('('); open != std::string::npos; open = objectPart.find('(', open + 1)) {
        if (open == 0 || nvxsim::FindSet(sets, objectPart.substr(0, open)) == nullptr) continue;
        path->object = objectPart.substr(0, open);
        path->instance = objectPart.substr(open + 1, objectPart.size() - open - 2);
        path->hasInstance = true;
        return path->instance.empty() ? Pdh(PDH_CSTATUS_BAD_COUNTERNAME) : ERROR_SUCCESS;
    }
    return ERROR_SUCCESS;  // names no set: resolving it answers PDH_CSTATUS_NO_OBJECT
}

// A list of names as a multi-string: each ended by a zero, the list by one more.
std::string MultiString(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names) list.append(name).push_back('\0');
    if (names.empty()) list.push_back('\0');  // an empty list is two zeros
    list.push_back('\0');
    return list;
}

bool IsQuery(PDH_HQUERY query) { return gQueries.count(query) != 0; }

PDH_STATUS OpenQuery(bool logFile, const char* name, PDH_HQUERY* query) {
    if (query == nullptr) return Pdh(PDH_INVALID_ARGUMENT);
    if (logFile) return NotImplemented(name);
    AcquireSRWLockExclusive(&gLock);
    *query = NewHandle();
    gQueries[*query];
    ReleaseSRWLockExclusive(&gLock);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

// Marker: tells a test (or a curious developer) that this copy, not Wine's, was loaded.
const char* WINAPI NvxSimPdhStandIn(void) {
    return "nvxsim pdh stand-in: counter sets from the driver simulator's counters file";
}

PDH_FUNCTION PdhEnumObjectItemsA(LPCSTR szDataSource, LPCSTR szMachineName, LPCSTR szObjectName, LPSTR mszCounterList,
                                 LPDWORD pcchCounterListLength, LPSTR mszInstanceList, LPDWORD pcchInstanceListLength,
                                 DWORD dwDetailLevel, DWORD dwFlags) {
    (void)dwDetailLevel;  // every counter of the file is at the lowest detail level, so always listed
    if (szDataSource != nullptr) return NotImplemented("PdhEnumObjectItemsA (log file data source)");
    if (szObjectName == nullptr || pcchCounterListLength == nullptr || pcchInstanceListLength == nullptr ||
        dwFlags != 0 || (*pcchCounterListLength != 0 && mszCounterList == nullptr) ||
        (*pcchInstanceListLength != 0 && mszInstanceList == nullptr)) {
        return Pdh(PDH_INVALID_ARGUMENT);
    }
    if (szMachineName != nullptr && szMachineName[0] != '\0') return Pdh(PDH_CSTATUS_NO_MACHINE);

    const CounterSets sets = ReadSets();
    const CounterSet* set = nvxsim::FindSet(sets, szObjectName);
    if (set == nullptr) return Pdh(PDH_CSTATUS_NO_OBJECT);
    std::string counters = MultiString(set->counters);
    // A set without instances has no instance list at all (length 0); one with instances but
    // none now has the empty list (length 2).
    std::string instances = set->hasInstances ? MultiString(set->instances) : std::string();
    // `counters` and `instances` are what a successful call writes; the lengths it needs (and
    // reports) are those of the lists unless a quirk says otherwise.
    const Quirk quirk = ReadQuirk();
    DWORD reportCounters = 0;  // the counter length a successful call returns, when not the list's
    switch (quirk.kind) {
        case QuirkKind::NoTerminator:
            counters.resize(counters.size() - 2);  // every set has a counter: the list ends "name\0\0"
            if (!set->instances.empty()) instances.resize(instances.size() - 2);
            break;
        case QuirkKind::EmptyList:
            if (quirk.number != 0) {
                *pcchCounterListLength = 0;
                *pcchInstanceListLength = static_cast<DWORD>(instances.size());
                return Pdh(PDH_MORE_DATA);
            }
            counters.assign(1, '\0');
            break;
        case QuirkKind::PastTerminator:
            counters += kPastTerminator;
            break;
        case QuirkKind::LengthPastBuffer:
            reportCounters = static_cast<DWORD>(counters.size());
            counters.resize(counters.size() - std::min<size_t>(kLengthPastBufferCut, counters.size() - 1));
            break;
        default:
            break;
    }
    const DWORD needCounters = static_cast<DWORD>(counters.size());
    const DWORD needInstances = static_cast<DWORD>(instances.size());
    // Too small: nothing is written, and both lengths say what the next call needs.
    if (*pcchCounterListLength < needCounters || *pcchInstanceListLength < needInstances) {
        *pcchCounterListLength = needCounters;
        *pcchInstanceListLength = needInstances;
        return Pdh(PDH_MORE_DATA);
    }
    if (quirk.kind == QuirkKind::MoreData) {
        *pcchCounterListLength = needCounters + 2;
        *pcchInstanceListLength = needInstances + 2;
        return Pdh(PDH_MORE_DATA);
    }
    if (reportCounters != 0 && *pcchCounterListLength >= reportCounters) {
        counters = MultiString(set->counters);  // the whole list fits after all: no lie to tell
    }
    memcpy(mszCounterList, counters.data(), counters.size());
    if (needInstances != 0) memcpy(mszInstanceList, instances.data(), needInstances);
    *pcchCounterListLength = reportCounters != 0 ? reportCounters : needCounters;
    *pcchInstanceListLength = needInstances;
    return ERROR_SUCCESS;
}

PDH_FUNCTION PdhOpenQueryA(LPCSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY* phQuery) {
    (void)dwUserData;
    return OpenQuery(szDataSource != nullptr && szDataSource[0] != '\0', "PdhOpenQueryA (log file data source)",
                     phQuery);
}

PDH_FUNCTION PdhOpenQueryW(LPCWSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY* phQuery) {
    (void)dwUserData;
    return OpenQuery(szDataSource != nullptr && szDataSource[0] != L'\0', "PdhOpenQueryW (log file data source)",
                     phQuery);
}

PDH_FUNCTION PdhAddEnglishCounterA(PDH_HQUERY hQuery, LPCSTR szFullCounterPath, DWORD_PTR dwUserData,
                                   PDH_HCOUNTER* phCounter) {
    (void)dwUserData;
    if (szFullCounterPath == nullptr || phCounter == nullptr) return Pdh(PDH_INVALID_ARGUMENT);
    *phCounter = nullptr;
    AcquireSRWLockShared(&gLock);
    const bool known = IsQuery(hQuery);
    ReleaseSRWLockShared(&gLock);
    if (!known) return Pdh(PDH_INVALID_HANDLE);

    const CounterSets sets = ReadSets();
    Counter counter;
    counter.query = hQuery;
    const PDH_STATUS parsed = ParsePath(sets, szFullCounterPath, &counter.path);
    if (parsed != ERROR_SUCCESS) return parsed;
    LONGLONG value = 0;
    const DWORD status = Resolve(sets, counter.path, &value);
    if (status == PDH_CSTATUS_NO_OBJECT || status == PDH_CSTATUS_NO_COUNTER) return Pdh(status);
    counter.raw.CStatus = PDH_CSTATUS_INVALID_DATA;  // nothing collected yet
    counter.raw.MultiCount = 1;

    AcquireSRWLockExclusive(&gLock);
    PDH_STATUS result = Pdh(PDH_INVALID_HANDLE);
    if (IsQuery(hQuery)) {  // not closed meanwhile
        *phCounter = NewHandle();
        gCounters[*phCounter] = counter;
        gQueries[hQuery].push_back(*phCounter);
        result = status == PDH_CSTATUS_NO_INSTANCE ? Pdh(PDH_CSTATUS_NO_INSTANCE) : ERROR_SUCCESS;
    }
    ReleaseSRWLockExclusive(&gLock);
    return result;
}

PDH_FUNCTION PdhCollectQueryData(PDH_HQUERY hQuery) {
    AcquireSRWLockShared(&gLock);
    const bool known = IsQuery(hQuery);
    const bool empty = known && gQueries[hQuery].empty();
    ReleaseSRWLockShared(&gLock);
    if (!known) return Pdh(PDH_INVALID_HANDLE);
    if (empty) return Pdh(PDH_NO_DATA);
    const Quirk quirk = ReadQuirk();
    if (quirk.kind == QuirkKind::SlowCollect) Sleep(static_cast<DWORD>(quirk.number));

    // One reading of the file for every counter: all values of a collection are of one moment.
    const CounterSets sets = ReadSets();
    FILETIME now, local;
    GetSystemTimeAsFileTime(&now);
    FileTimeToLocalFileTime(&now, &local);
    AcquireSRWLockExclusive(&gLock);
    PDH_STATUS result = Pdh(PDH_INVALID_HANDLE);
    auto query = gQueries.find(hQuery);
    if (query != gQueries.end()) {
        for (PDH_HCOUNTER handle : query->second) {
            PDH_RAW_COUNTER& raw = gCounters[handle].raw;
            LONGLONG value = 0;
            raw.CStatus = Resolve(sets, gCounters[handle].path, &value);
            raw.TimeStamp = local;
            raw.FirstValue = value;
            raw.SecondValue = 0;
            raw.MultiCount = 1;
        }
        result = ERROR_SUCCESS;
    }
    ReleaseSRWLockExclusive(&gLock);
    return result;
}

// The value of the last collection. Whether the counter's set, counter or instance was there
// then is its CStatus, not the result: the call itself succeeds for every valid handle.
PDH_FUNCTION PdhGetRawCounterValue(PDH_HCOUNTER hCounter, LPDWORD lpdwType, PPDH_RAW_COUNTER pValue) {
    if (pValue == nullptr) return Pdh(PDH_INVALID_ARGUMENT);
    AcquireSRWLockShared(&gLock);
    auto counter = gCounters.find(hCounter);
    const bool known = counter != gCounters.end();
    if (known) *pValue = counter->second.raw;
    ReleaseSRWLockShared(&gLock);
    if (!known) return Pdh(PDH_INVALID_HANDLE);
    if (lpdwType != nullptr) *lpdwType = PERF_COUNTER_LARGE_RAWCOUNT;
    return ERROR_SUCCESS;
}

PDH_FUNCTION PdhCloseQuery(PDH_HQUERY hQuery) {
    AcquireSRWLockExclusive(&gLock);
    auto query = gQueries.find(hQuery);
    const bool known = query != gQueries.end();
    if (known) {
        for (PDH_HCOUNTER handle : query->second) gCounters.erase(handle);
        gQueries.erase(query);
    }
    ReleaseSRWLockExclusive(&gLock);
    return known ? ERROR_SUCCESS : Pdh(PDH_INVALID_HANDLE);
}

// ---- not implemented here: present so that a program importing them loads, failing loudly

#define NVX_PDH_NOT_IMPLEMENTED(name, parameters) \
    PDH_FUNCTION name parameters { return NotImplemented(#name); }

NVX_PDH_NOT_IMPLEMENTED(PdhAddEnglishCounterW, (PDH_HQUERY, LPCWSTR, DWORD_PTR, PDH_HCOUNTER*))
NVX_PDH_NOT_IMPLEMENTED(PdhAddCounterA, (PDH_HQUERY, LPCSTR, DWORD_PTR, PDH_HCOUNTER*))
NVX_PDH_NOT_IMPLEMENTED(PdhAddCounterW, (PDH_HQUERY, LPCWSTR, DWORD_PTR, PDH_HCOUNTER*))
NVX_PDH_NOT_IMPLEMENTED(PdhRemoveCounter, (PDH_HCOUNTER))
NVX_PDH_NOT_IMPLEMENTED(PdhEnumObjectItemsW,
                        (LPCWSTR, LPCWSTR, LPCWSTR, LPWSTR, LPDWORD, LPWSTR, LPDWORD, DWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhEnumObjectItemsHA, (PDH_HLOG, LPCSTR, LPCSTR, LPSTR, LPDWORD, LPSTR, LPDWORD, DWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhEnumObjectItemsHW,
                        (PDH_HLOG, LPCWSTR, LPCWSTR, LPWSTR, LPDWORD, LPWSTR, LPDWORD, DWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhEnumObjectsA, (LPCSTR, LPCSTR, LPSTR, LPDWORD, DWORD, WINBOOL))
NVX_PDH_NOT_IMPLEMENTED(PdhEnumObjectsW, (LPCWSTR, LPCWSTR, LPWSTR, LPDWORD, DWORD, WINBOOL))
NVX_PDH_NOT_IMPLEMENTED(PdhOpenQueryH, (PDH_HLOG, DWORD_PTR, PDH_HQUERY*))
NVX_PDH_NOT_IMPLEMENTED(PdhCollectQueryDataEx, (PDH_HQUERY, DWORD, HANDLE))
NVX_PDH_NOT_IMPLEMENTED(PdhCollectQueryDataWithTime, (PDH_HQUERY, LONGLONG*))
NVX_PDH_NOT_IMPLEMENTED(PdhGetFormattedCounterValue, (PDH_HCOUNTER, DWORD, LPDWORD, PPDH_FMT_COUNTERVALUE))
NVX_PDH_NOT_IMPLEMENTED(PdhGetFormattedCounterArrayA,
                        (PDH_HCOUNTER, DWORD, LPDWORD, LPDWORD, PPDH_FMT_COUNTERVALUE_ITEM_A))
NVX_PDH_NOT_IMPLEMENTED(PdhGetFormattedCounterArrayW,
                        (PDH_HCOUNTER, DWORD, LPDWORD, LPDWORD, PPDH_FMT_COUNTERVALUE_ITEM_W))
NVX_PDH_NOT_IMPLEMENTED(PdhGetRawCounterArrayA, (PDH_HCOUNTER, LPDWORD, LPDWORD, PPDH_RAW_COUNTER_ITEM_A))
NVX_PDH_NOT_IMPLEMENTED(PdhGetRawCounterArrayW, (PDH_HCOUNTER, LPDWORD, LPDWORD, PPDH_RAW_COUNTER_ITEM_W))
NVX_PDH_NOT_IMPLEMENTED(PdhCalculateCounterFromRawValue,
                        (PDH_HCOUNTER, DWORD, PPDH_RAW_COUNTER, PPDH_RAW_COUNTER, PPDH_FMT_COUNTERVALUE))
NVX_PDH_NOT_IMPLEMENTED(PdhSetCounterScaleFactor, (PDH_HCOUNTER, LONG))
NVX_PDH_NOT_IMPLEMENTED(PdhGetCounterInfoA, (PDH_HCOUNTER, BOOLEAN, LPDWORD, PPDH_COUNTER_INFO_A))
NVX_PDH_NOT_IMPLEMENTED(PdhGetCounterInfoW, (PDH_HCOUNTER, BOOLEAN, LPDWORD, PPDH_COUNTER_INFO_W))
NVX_PDH_NOT_IMPLEMENTED(PdhLookupPerfNameByIndexA, (LPCSTR, DWORD, LPSTR, LPDWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhLookupPerfNameByIndexW, (LPCWSTR, DWORD, LPWSTR, LPDWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhLookupPerfIndexByNameA, (LPCSTR, LPCSTR, LPDWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhLookupPerfIndexByNameW, (LPCWSTR, LPCWSTR, LPDWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhValidatePathA, (LPCSTR))
NVX_PDH_NOT_IMPLEMENTED(PdhValidatePathW, (LPCWSTR))
NVX_PDH_NOT_IMPLEMENTED(PdhExpandWildCardPathA, (LPCSTR, LPCSTR, LPSTR, LPDWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhExpandWildCardPathW, (LPCWSTR, LPCWSTR, LPWSTR, LPDWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhMakeCounterPathA, (PPDH_COUNTER_PATH_ELEMENTS_A, LPSTR, LPDWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhMakeCounterPathW, (PPDH_COUNTER_PATH_ELEMENTS_W, LPWSTR, LPDWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhParseCounterPathA, (LPCSTR, PPDH_COUNTER_PATH_ELEMENTS_A, LPDWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhParseCounterPathW, (LPCWSTR, PPDH_COUNTER_PATH_ELEMENTS_W, LPDWORD, DWORD))
NVX_PDH_NOT_IMPLEMENTED(PdhConnectMachineA, (LPCSTR))
NVX_PDH_NOT_IMPLEMENTED(PdhConnectMachineW, (LPCWSTR))
NVX_PDH_NOT_IMPLEMENTED(PdhGetDllVersion, (LPDWORD))

}  // extern "C"
