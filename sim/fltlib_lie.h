// A lie the fltlib.dll stand-in can be told to tell in its filter and instance walks, so that the
// service's handling of bad Filter Manager records can be exercised: each kind is a fault a real
// Filter Manager call could hand back. Without a lie the stand-in answers truly (fltlib_enum.cpp).
//
// Where: fltlib-lie.txt in the directory of the filter-stack description (FilterStackPath(), so
// C:\nvxsim\driver\fltlib-lie.txt by default). A missing file is no lie. The stand-in reads it at
// every FilterFindFirst and FilterInstanceFindFirst; a search keeps the lie its FindFirst read.
//
// Format: UTF-8 text; lines that are empty or start with '#' are ignored; exactly one other line
// of blank-separated KEY=VALUE words:
//   kind=KIND        required, one of the kinds below
//   walk=WALK        filters or instances: whose entries lie (default: the kind's own walk, else
//                    filters)
//   after=N          the first N entries of each walk are told truly (default 0)
//   error=CODE       the Win32 error (1 to 65535) of the *-next-fails kinds, decimal or 0x hex
//                    (default 87, ERROR_INVALID_PARAMETER)
// Kinds (the entry's "name" is FilterName in the filter walk, InstanceName in the instance walk):
//   name-length          the name's length runs past the bytes returned
//   name-offset          the name's offset lies past the bytes returned
//   odd-name-length      the name's length is odd (one byte short of the name)
//   returned-past-buffer *lpBytesReturned is larger than the buffer given, and the name is placed
//                        in the claimed bytes beyond the buffer's end
//   unknown-type         Flags 4: neither minifilter nor legacy filter
//   no-instance-name     InstanceNameLength 0 (instances only)
//   filter-next-fails    FilterFindNext answers HRESULT_FROM_WIN32(error) once `after` entries
//                        (at least 1) were delivered, and at every later call (filters only)
//   instance-next-fails  FilterInstanceFindNext likewise (instances only)
// Example: kind=filter-next-fails walk=filters after=3 error=8
//
// Guarantees: a file is taken whole or not at all; a rejected file fails the FindFirst with
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA), as a malformed stack does, and says why.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace nvxsim {

enum class LieKind {
    kNone,
    kNameLength,
    kNameOffset,
    kOddNameLength,
    kReturnedPastBuffer,
    kUnknownType,
    kNoInstanceName,
    kFilterNextFails,
    kInstanceNextFails,
};

enum class LieWalk { kFilters, kInstances };

// The Flags value of the unknown-type lie.
constexpr ULONG kUnknownEntryFlags = 4;

struct FltlibLie {
    LieKind kind = LieKind::kNone;
    LieWalk walk = LieWalk::kFilters;
    uint32_t after = 0;
    uint32_t error = ERROR_INVALID_PARAMETER;

    // True when the lie concerns the record lies of this walk's entries (not a failing FindNext).
    bool BendsEntriesOf(LieWalk w) const {
        return kind != LieKind::kNone && kind != LieKind::kFilterNextFails && kind != LieKind::kInstanceNextFails &&
               walk == w;
    }
};

// fltlib-lie.txt beside the filter-stack description.
std::wstring FltlibLiePath();

// Parses a lie file's text. False with `error` when it is not one.
bool ParseFltlibLie(const std::string& text, FltlibLie* lie, std::string* error);

// Reads and parses the lie at `path`; a missing file is no lie. False with `error`.
bool ReadFltlibLie(const std::wstring& path, FltlibLie* lie, std::string* error);

}  // namespace nvxsim
