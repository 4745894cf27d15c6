// fltlib.dll of the simulated machine: the Filter Manager's filter and instance walks, answered
// from the machine's filter-stack description (filter_stack.h) as Windows answers them.
//
//   - FilterFindFirst/Next/Close, class FilterAggregateStandardInformation: one
//     FILTER_AGGREGATE_STANDARD_INFORMATION a call, minifilters with frame, name, altitude and
//     instance count, legacy filters with name and altitude.
//   - FilterInstanceFindFirst/Next/Close, class InstanceAggregateStandardInformation: one
//     INSTANCE_AGGREGATE_STANDARD_INFORMATION a call for the named minifilter's instances.
// Every entry is one structure (NextEntryOffset 0) followed by its UTF-16 texts, which are not
// zero-terminated and are found by length in bytes and offset from the entry's start.
//
// The description is read at every FindFirst; a search walks the snapshot its FindFirst took.
// A buffer too small for the next entry answers HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)
// with the entry's size in *lpBytesReturned and leaves the position where it was (a FindFirst
// then opens no search), so the caller retries with a larger buffer. After the last entry the
// answer is HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS); a handle that is no open search of the
// function's kind, HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE); another information class,
// E_INVALIDARG; an instance walk of a filter that is no loaded minifilter,
// ERROR_FLT_FILTER_NOT_FOUND. A description that cannot be read or is malformed fails the
// FindFirst with HRESULT_FROM_WIN32(ERROR_INVALID_DATA) and says why through OutputDebugStringA.
//
// The stand-in can be told to lie (fltlib_lie.h): the lie file is read with the description, and
// the search keeps it. A record lie bends each delivered entry of its walk from the (after+1)th on
// (every walk counts its own entries); a buffer too small for the true entry is still answered
// truly. A failing FindNext fails from the (after+1)th entry on, at every call.
#include <windows.h>

#include <fltuser.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/filter_stack.h"
#include "sim/fltlib_lie.h"
#include "sim/simsupport.h"

using nvxsim::FilterStack;
using nvxsim::FltlibLie;
using nvxsim::LieKind;
using nvxsim::LieWalk;
using nvxsim::StackFilter;
using nvxsim::StackInstance;
using nvxsim::Win32Hr;

// The layouts the entries are built on, as the Filter Manager defines them (Windows 8 and later:
// with SupportedFeatures).
static_assert(sizeof(FILTER_AGGREGATE_STANDARD_INFORMATION) == 28);
static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type) == 8);
static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.FrameID) == 12);
static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.NumberOfInstances) == 16);
static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.FilterNameLength) == 20);
static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.FilterAltitudeBufferOffset) == 26);
static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.LegacyFilter.FilterNameLength) == 12);
static_assert(offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.LegacyFilter.FilterAltitudeBufferOffset) == 18);
static_assert(sizeof(INSTANCE_AGGREGATE_STANDARD_INFORMATION) == 40);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.FrameID) == 12);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.VolumeFileSystemType) == 16);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.InstanceNameLength) == 20);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.AltitudeLength) == 24);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.VolumeNameLength) == 28);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.FilterNameBufferOffset) == 34);
static_assert(offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.SupportedFeatures) == 36);

namespace {

constexpr HRESULT kInsufficientBuffer = Win32Hr(ERROR_INSUFFICIENT_BUFFER);  // 0x8007007A
constexpr HRESULT kNoMoreItems = Win32Hr(ERROR_NO_MORE_ITEMS);               // 0x80070103
constexpr HRESULT kInvalidHandle = Win32Hr(ERROR_INVALID_HANDLE);            // 0x80070006
constexpr HRESULT kInvalidData = Win32Hr(ERROR_INVALID_DATA);                // 0x8007000D
constexpr HRESULT kFilterNotFound = static_cast<HRESULT>(0x801F0013);        // ERROR_FLT_FILTER_NOT_FOUND

using Entry = std::vector<uint8_t>;

// Appends a text after an entry's fixed part and stores its byte length and offset. Every entry
// stays far below 64 KiB: names are bounded by the description's limits.
void AppendText(Entry& entry, const std::wstring& text, USHORT* length, USHORT* offset) {
    const size_t bytes = text.size() * sizeof(wchar_t);
    *length = static_cast<USHORT>(bytes);
    *offset = static_cast<USHORT>(entry.size());
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    entry.insert(entry.end(), p, p + bytes);
}

template <typename Fixed>
void PutFixed(Entry& entry, const Fixed& fixed) {
    memcpy(entry.data(), &fixed, sizeof fixed);
}

Entry FilterEntry(const StackFilter& filter) {
    FILTER_AGGREGATE_STANDARD_INFORMATION info{};
    Entry entry(sizeof info);
    if (filter.legacy) {
        auto& legacy = info.Type.LegacyFilter;
        info.Flags = FLTFL_ASI_IS_LEGACYFILTER;
        AppendText(entry, filter.name, &legacy.FilterNameLength, &legacy.FilterNameBufferOffset);
        AppendText(entry, filter.altitude, &legacy.FilterAltitudeLength, &legacy.FilterAltitudeBufferOffset);
    } else {
        auto& mini = info.Type.MiniFilter;
        info.Flags = FLTFL_ASI_IS_MINIFILTER;
        mini.FrameID = filter.frame;
        mini.NumberOfInstances = static_cast<ULONG>(filter.instances.size());
        AppendText(entry, filter.name, &mini.FilterNameLength, &mini.FilterNameBufferOffset);
        AppendText(entry, filter.altitude, &mini.FilterAltitudeLength, &mini.FilterAltitudeBufferOffset);
    }
    PutFixed(entry, info);
    return entry;
}

// An instance attached to its volume (no detached flag), on NTFS, stating no supported features.
Entry InstanceEntry(const StackFilter& filter, const StackInstance& instance) {
    INSTANCE_AGGREGATE_STANDARD_INFORMATION info{};
    Entry entry(sizeof info);
    auto& mini = info.Type.MiniFilter;
    info.Flags = FLTFL_IASI_IS_MINIFILTER;
    mini.FrameID = instance.frame;
    mini.VolumeFileSystemType = FLT_FSTYPE_NTFS;
    AppendText(entry, instance.name, &mini.InstanceNameLength, &mini.InstanceNameBufferOffset);
    AppendText(entry, instance.altitude, &mini.AltitudeLength, &mini.AltitudeBufferOffset);
    AppendText(entry, instance.volume, &mini.VolumeNameLength, &mini.VolumeNameBufferOffset);
    AppendText(entry, filter.name, &mini.FilterNameLength, &mini.FilterNameBufferOffset);
    PutFixed(entry, info);
    return entry;
}

enum class Kind { kFilters, kInstances };

struct Search {
    Kind kind;
    std::vector<Entry> entries;
    size_t next = 0;  // the entry the next FindNext delivers
    FltlibLie lie;
};

LieWalk WalkOf(Kind kind) { return kind == Kind::kFilters ? LieWalk::kFilters : LieWalk::kInstances; }

// The name fields of an entry: FilterName of a filter entry, InstanceName of an instance entry.
struct NameFields {
    size_t length;
    size_t offset;
};

NameFields NameFieldsOf(Kind kind, const Entry& entry) {
    if (kind == Kind::kInstances) {
        return {offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.InstanceNameLength),
                offsetof(INSTANCE_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.InstanceNameBufferOffset)};
    }
    ULONG flags;
    memcpy(&flags, entry.data() + offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Flags), sizeof flags);
    if (flags == FLTFL_ASI_IS_LEGACYFILTER) {
        return {offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.LegacyFilter.FilterNameLength),
                offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.LegacyFilter.FilterNameBufferOffset)};
    }
    return {offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.FilterNameLength),
            offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Type.MiniFilter.FilterNameBufferOffset)};
}

USHORT GetU16(const Entry& entry, size_t at) {
    USHORT value;
    memcpy(&value, entry.data() + at, sizeof value);
    return value;
}

void SetU16(Entry& entry, size_t at, size_t value) {
    const USHORT v = static_cast<USHORT>(value > 0xFFFF ? 0xFFFF : value);
    memcpy(entry.data() + at, &v, sizeof v);
}

// The entry as the lie tells it to a buffer of `size` bytes, and the byte count it claims.
Entry Bend(Kind kind, const Entry& truth, const FltlibLie& lie, DWORD size, DWORD* claimed) {
    Entry entry = truth;
    *claimed = static_cast<DWORD>(entry.size());
    const NameFields name = NameFieldsOf(kind, entry);
    switch (lie.kind) {
        case LieKind::kNameLength:  // ends two bytes past the entry
            SetU16(entry, name.length, entry.size() + 2 - GetU16(entry, name.offset));
            break;
        case LieKind::kNameOffset:
            SetU16(entry, name.offset, entry.size() + 16);
            break;
        case LieKind::kOddNameLength:
            SetU16(entry, name.length, GetU16(entry, name.length) - 1);
            break;
        case LieKind::kReturnedPastBuffer:
            SetU16(entry, name.offset, size);
            *claimed = size + 4096;
            break;
        case LieKind::kUnknownType: {
            const ULONG flags = nvxsim::kUnknownEntryFlags;
            memcpy(entry.data() + offsetof(FILTER_AGGREGATE_STANDARD_INFORMATION, Flags), &flags, sizeof flags);
            break;
        }
        case LieKind::kNoInstanceName:
            SetU16(entry, name.length, 0);
            break;
        default:
            break;
    }
    return entry;
}

// Open searches by handle. The handle is an unnamed event of this process, so its value is unique
// while the search is open and a stale or foreign value is told apart.
SRWLOCK gSearchLock = SRWLOCK_INIT;
std::map<HANDLE, std::unique_ptr<Search>> gSearches;

// Copies the search's entry `index` into the caller's buffer (as the lie tells it, if it bends
// this one), or reports the size it needs.
HRESULT Deliver(const Search& search, size_t index, void* buffer, DWORD size, DWORD* returned) {
    const Entry& truth = search.entries[index];
    *returned = static_cast<DWORD>(truth.size());
    if (size < truth.size()) return kInsufficientBuffer;
    if (!search.lie.BendsEntriesOf(WalkOf(search.kind)) || index < search.lie.after) {
        memcpy(buffer, truth.data(), truth.size());
        return S_OK;
    }
    const Entry told = Bend(search.kind, truth, search.lie, size, returned);
    memcpy(buffer, told.data(), told.size());
    return S_OK;
}

// A FindNext that the lie makes fail: the error, from the (after+1)th entry on.
bool NextFails(const Search& search, HRESULT* hr) {
    const LieKind fails = search.kind == Kind::kFilters ? LieKind::kFilterNextFails : LieKind::kInstanceNextFails;
    if (search.lie.kind != fails || search.next < search.lie.after) return false;
    *hr = Win32Hr(search.lie.error);
    return true;
}

HRESULT LoadStack(FilterStack* stack, FltlibLie* lie) {
    std::string error;
    if (!nvxsim::ReadFilterStack(nvxsim::FilterStackPath(), stack, &error)) {
        OutputDebugStringA(("fltlib stand-in: filter stack: " + error + "\n").c_str());
        return kInvalidData;
    }
    if (!nvxsim::ReadFltlibLie(nvxsim::FltlibLiePath(), lie, &error)) {
        OutputDebugStringA(("fltlib stand-in: lie: " + error + "\n").c_str());
        return kInvalidData;
    }
    return S_OK;
}

// The first entry of a new search; the search is opened only when that entry was delivered.
HRESULT First(Kind kind, std::vector<Entry> entries, const FltlibLie& lie, void* buffer, DWORD size, DWORD* returned,
              HANDLE* find) {
    if (entries.empty()) return kNoMoreItems;
    auto search = std::make_unique<Search>(Search{kind, std::move(entries), 1, lie});
    HRESULT hr = Deliver(*search, 0, buffer, size, returned);
    if (FAILED(hr)) return hr;
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) {
        *returned = 0;
        return Win32Hr(GetLastError());
    }
    AcquireSRWLockExclusive(&gSearchLock);
    gSearches[handle] = std::move(search);
    ReleaseSRWLockExclusive(&gSearchLock);
    *find = handle;
    return S_OK;
}

HRESULT Next(Kind kind, HANDLE find, void* buffer, DWORD size, DWORD* returned) {
    HRESULT hr;
    AcquireSRWLockExclusive(&gSearchLock);
    auto it = gSearches.find(find);
    if (it == gSearches.end() || it->second->kind != kind) {
        hr = kInvalidHandle;
    } else if (NextFails(*it->second, &hr)) {
        // the lie's error, with nothing returned
    } else if (it->second->next >= it->second->entries.size()) {
        hr = kNoMoreItems;
    } else {
        hr = Deliver(*it->second, it->second->next, buffer, size, returned);
        if (SUCCEEDED(hr)) ++it->second->next;
    }
    ReleaseSRWLockExclusive(&gSearchLock);
    return hr;
}

HRESULT Close(Kind kind, HANDLE find) {
    std::unique_ptr<Search> closed;
    AcquireSRWLockExclusive(&gSearchLock);
    auto it = gSearches.find(find);
    if (it != gSearches.end() && it->second->kind == kind) {
        closed = std::move(it->second);
        gSearches.erase(it);
    }
    ReleaseSRWLockExclusive(&gSearchLock);
    if (!closed) return kInvalidHandle;
    CloseHandle(find);
    return S_OK;
}

// The argument checks every call shares; *returned is 0 from here on unless an entry says more.
bool BadArguments(const void* buffer, DWORD size, DWORD* returned) {
    if (returned == nullptr) return true;
    *returned = 0;
    return size != 0 && buffer == nullptr;
}

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT WINAPI
    FilterFindFirst(FILTER_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer, DWORD dwBufferSize,
                    LPDWORD lpBytesReturned, LPHANDLE lpFilterFind) {
    if (lpFilterFind == nullptr) return E_INVALIDARG;
    *lpFilterFind = INVALID_HANDLE_VALUE;
    if (BadArguments(lpBuffer, dwBufferSize, lpBytesReturned)) return E_INVALIDARG;
    if (dwInformationClass != FilterAggregateStandardInformation) return E_INVALIDARG;
    FilterStack stack;
    FltlibLie lie;
    HRESULT hr = LoadStack(&stack, &lie);
    if (FAILED(hr)) return hr;
    std::vector<Entry> entries;
    for (const StackFilter& filter : stack.filters) entries.push_back(FilterEntry(filter));
    return First(Kind::kFilters, std::move(entries), lie, lpBuffer, dwBufferSize, lpBytesReturned, lpFilterFind);
}

__declspec(dllexport) HRESULT WINAPI FilterFindNext(HANDLE hFilterFind, FILTER_INFORMATION_CLASS dwInformationClass,
                                                    LPVOID lpBuffer, DWORD dwBufferSize, LPDWORD lpBytesReturned) {
    if (BadArguments(lpBuffer, dwBufferSize, lpBytesReturned)) return E_INVALIDARG;
    if (dwInformationClass != FilterAggregateStandardInformation) return E_INVALIDARG;
    return Next(Kind::kFilters, hFilterFind, lpBuffer, dwBufferSize, lpBytesReturned);
}

__declspec(dllexport) HRESULT WINAPI FilterFindClose(HANDLE hFilterFind) { return Close(Kind::kFilters, hFilterFind); }

__declspec(dllexport) HRESULT WINAPI
    FilterInstanceFindFirst(LPCWSTR lpFilterName, INSTANCE_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer,
                            DWORD dwBufferSize, LPDWORD lpBytesReturned, LPHANDLE lpFilterInstanceFind) {
    if (lpFilterInstanceFind == nullptr) return E_INVALIDARG;
    *lpFilterInstanceFind = INVALID_HANDLE_VALUE;
    if (BadArguments(lpBuffer, dwBufferSize, lpBytesReturned) || lpFilterName == nullptr) return E_INVALIDARG;
    if (dwInformationClass != InstanceAggregateStandardInformation) return E_INVALIDARG;
    FilterStack stack;
    FltlibLie lie;
    HRESULT hr = LoadStack(&stack, &lie);
    if (FAILED(hr)) return hr;
    const StackFilter* filter = stack.FindMinifilter(lpFilterName);
    if (filter == nullptr) return kFilterNotFound;
    std::vector<Entry> entries;
    for (const StackInstance& instance : filter->instances) entries.push_back(InstanceEntry(*filter, instance));
    return First(Kind::kInstances, std::move(entries), lie, lpBuffer, dwBufferSize, lpBytesReturned,
                 lpFilterInstanceFind);
}

__declspec(dllexport) HRESULT WINAPI
    FilterInstanceFindNext(HANDLE hFilterInstanceFind, INSTANCE_INFORMATION_CLASS dwInformationClass, LPVOID lpBuffer,
                           DWORD dwBufferSize, LPDWORD lpBytesReturned) {
    if (BadArguments(lpBuffer, dwBufferSize, lpBytesReturned)) return E_INVALIDARG;
    if (dwInformationClass != InstanceAggregateStandardInformation) return E_INVALIDARG;
    return Next(Kind::kInstances, hFilterInstanceFind, lpBuffer, dwBufferSize, lpBytesReturned);
}

__declspec(dllexport) HRESULT WINAPI FilterInstanceFindClose(HANDLE hFilterInstanceFind) {
    return Close(Kind::kInstances, hFilterInstanceFind);
}

}  // extern "C"
