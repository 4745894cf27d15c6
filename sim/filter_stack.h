// The filter stack of the simulated machine: which minifilters and legacy filters are loaded, in
// which frames and at which altitudes, and where the minifilters' instances are attached. The
// fltlib.dll stand-in answers the filter and instance walks from it (fltlib_enum.cpp) and reads it
// afresh at every FilterFindFirst and FilterInstanceFindFirst, so a change shows at the next walk.
//
// Where: the file named by the environment variable NVXSIM_FILTER_STACK, else
// C:\nvxsim\driver\filters.txt. A missing file is a machine with no filters.
//
// Format (for writers, such as the host side of the machine):
//   - UTF-8 text without a byte-order mark; lines end with LF or CR LF.
//   - A line that is empty or whose first character is '#' is ignored.
//   - Every other line is one record: a kind word and fields, separated by exactly one TAB each
//     (no blanks around them; a field is never empty and holds no TAB or control character):
//       minifilter<TAB>NAME<TAB>FRAME<TAB>ALTITUDE
//       legacy<TAB>NAME<TAB>ALTITUDE
//       instance<TAB>FILTER<TAB>INSTANCE<TAB>ALTITUDE<TAB>VOLUME[<TAB>FRAME]
//   - NAME, FILTER, INSTANCE: at most 255 UTF-16 units; VOLUME: the volume's NT device name (for
//     example \Device\HarddiskVolume1), at most 1024 UTF-16 units.
//   - FRAME: an unsigned decimal number below 2^32. An instance without FRAME is in its filter's
//     frame.
//   - ALTITUDE: decimal digits, optionally '.' and more digits ("328010", "328010.5"), at most 255
//     characters; it is passed on as the text written.
//   - FILTER names a minifilter of the same file (before or after the instance line; names compare
//     without regard to case, as the Filter Manager's do). Filter names are unique.
//   - Filters are enumerated in the order of their lines, a filter's instances in the order of
//     theirs.
// Example (\t is a TAB):
//   minifilter\tKestro Vantor\t0\t328010
//   instance\tKestro Vantor\tKestroNVX Antivirus Instance\t328010\t\Device\HarddiskVolume1
//   legacy\tMRLA\t329000.5
//
// Guarantees: a file is taken whole or not at all; a rejected file is reported with its line
// number and the reason. A written file replaces the old one in one rename, so a walk reads the
// old stack or the new one, never a mix.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/simsupport.h"

namespace nvxsim {

struct StackInstance {
    std::wstring name;
    std::wstring altitude;
    std::wstring volume;
    uint32_t frame = 0;
};

struct StackFilter {
    bool legacy = false;
    std::wstring name;
    std::wstring altitude;
    uint32_t frame = 0;                    // minifilters only
    std::vector<StackInstance> instances;  // minifilters only
};

struct FilterStack {
    std::vector<StackFilter> filters;

    // The minifilter of this name (compared without regard to case), or nullptr.
    const StackFilter* FindMinifilter(const std::wstring& name) const;
};

// The description's path: $NVXSIM_FILTER_STACK, else C:\nvxsim\driver\filters.txt.
std::wstring FilterStackPath();

// The lines of a text that hold records (neither empty nor starting with '#'), without their line
// ends (LF or CR LF), each with its line number counted from 1.
std::vector<std::pair<size_t, std::string>> RecordLines(const std::string& text);

// Parses a description's text. False with `error` ("line N: why") when the text is not one.
bool ParseFilterStack(const std::string& text, FilterStack* stack, std::string* error);

// Reads a whole file of the machine's descriptions; a missing file (or directory) sets `missing`
// and gives "". False with `error` when the file cannot be opened or read.
bool ReadSimFile(const std::wstring& path, std::string* text, bool* missing, std::string* error);

// Reads the file at `path` and parses it with `parse`; a missing file gives T{}. False with
// `error` (naming the path when the text is refused).
template <typename T>
bool ReadParsedSimFile(const std::wstring& path, T* out, bool (*parse)(const std::string&, T*, std::string*),
                       std::string* error) {
    std::string text;
    bool missing = false;
    if (!ReadSimFile(path, &text, &missing, error)) return false;
    if (missing) {
        *out = T{};
        return true;
    }
    if (!parse(text, out, error)) {
        *error = Utf8(path) + ": " + *error;
        return false;
    }
    return true;
}

// Reads and parses the description at `path`; a missing file (or directory) gives an empty stack.
// False with `error` when the file cannot be read or is not a description.
bool ReadFilterStack(const std::wstring& path, FilterStack* stack, std::string* error);

// The description's text: each filter's line, a minifilter's instance lines (each with its FRAME)
// right after it, in the stack's order. Reads back as the same stack.
std::string FormatFilterStack(const FilterStack& stack);

// Writes the description to `path` in one rename. False with `error`.
bool WriteFilterStack(const std::wstring& path, const FilterStack& stack, std::string* error);

}  // namespace nvxsim
