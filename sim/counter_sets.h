// The simulated machine's performance-counter sets: the text file in which the driver simulator
// publishes them and from which the pdh.dll stand-in answers enumeration and collection.
//
// File format (bytes, passed to the narrow PDH calls unchanged):
//   - one record per line; a line ends in LF or CR LF; empty lines and lines whose first byte
//     is '#' are ignored;
//   - a record is four or five fields separated by single TABs:
//       OBJECT <TAB> INSTANCE <TAB> COUNTER <TAB> VALUE [<TAB> STATUS]
//       OBJECT   the counter set's name, not empty;
//       INSTANCE empty for a set without instances; "*" declares COUNTER for a set with instances
//                without adding an instance (VALUE is then empty, and there is no STATUS);
//                otherwise an instance's name;
//       COUNTER  the counter's name, not empty;
//       VALUE    the raw value: an optional '-' and 1 to 19 decimal digits, a signed 64-bit number;
//       STATUS   the counter status (CStatus) a collection gives this value: "0x" and 1 to 8
//                hexadecimal digits. Without the field the status is 0 (PDH_CSTATUS_VALID_DATA),
//                and the writer leaves it out for 0, so a file without statuses is written as
//                before this field existed;
//   - no name contains '\' (the path separator of counter paths), and no instance is named "*"
//     (PDH's wildcard) other than as the declaration above;
//   - every record of one OBJECT agrees on whether it has instances (INSTANCE empty or not);
//   - names compare without regard to the case of ASCII letters, the first spelling is kept;
//     sets, instances and counters are listed in the order they first appear;
//   - every counter of a set exists in every instance of it; a value no record gives is 0; two
//     records for the same object, instance and counter are an error.
// Example:
//   Kestro.NVX caching<TAB><TAB>Hits<TAB>42
//   Kestro.NVX performance<TAB>Volume(C:)<TAB>Total scans<TAB>-7
//   Kestro.NVX caching<TAB><TAB>Misses<TAB>5<TAB>0xC0000BBA
//
// The file is read whole or not at all: a malformed line makes the whole read fail, naming the
// line, so a reader never acts on part of a file. A missing file means no counter sets at all.
// The writer replaces the file in one rename, so a reader sees the old file or the new one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nvxsim {

// The file the stand-in reads: NVXSIM_PDH_COUNTERS when set, else C:\nvxsim\driver\counters.txt.
std::wstring CounterSetsPath();

// The pdh.dll stand-in's quirk file, beside the counter-sets file: pdh-quirk.txt in its directory
// (its format is described in sim/pdh_standin.cpp).
std::wstring PdhQuirkPath();

// Whether two names are the same, ignoring the case of ASCII letters.
bool SameName(std::string_view a, std::string_view b);

struct CounterSet {
    std::string name;
    bool hasInstances = false;
    std::vector<std::string> counters;
    std::vector<std::string> instances;  // empty for a set without instances (and one with none now)
    // Raw values by (instance index, counter index); the instance index is 0 without instances.
    std::map<std::pair<size_t, size_t>, int64_t> values;
    // Non-zero counter statuses by the same key; a status not held here is 0.
    std::map<std::pair<size_t, size_t>, uint32_t> statuses;

    // Index of a name in counters / instances; -1 when absent.
    int FindCounter(std::string_view counter) const;
    int FindInstance(std::string_view instance) const;
    int64_t Value(size_t instance, size_t counter) const;
    uint32_t Status(size_t instance, size_t counter) const;
    // Sets the status of one value (0 clears it).
    void SetStatus(size_t instance, size_t counter, uint32_t status);
    // Removes an instance with its values and statuses; the later instances move up by one.
    void RemoveInstance(size_t instance);
};

using CounterSets = std::vector<CounterSet>;

const CounterSet* FindSet(const CounterSets& sets, std::string_view name);

// Adds one record as the file states it (instance "" = a set without instances, "*" = declare the
// counter only). False, with the reason, when the record breaks a rule of the format.
bool AddRecord(CounterSets& sets, const std::string& object, const std::string& instance, const std::string& counter,
               int64_t value, std::string* error, uint32_t status = 0);

// Whether a name may stand in the file as a set, instance or counter name (not empty, no '\',
// TAB, CR, LF or NUL).
bool ValidName(const std::string& name);

// VALUE and STATUS as the file spells them; false for any other text.
bool ParseValue(const std::string& text, int64_t* value);
bool ParseStatus(const std::string& text, uint32_t* status);

// The file's text for `sets`: values no record was given for are written as 0, statuses only when
// not 0; a set with instances but none now is written with "*" declarations.
std::string FormatCounterSets(const CounterSets& sets);

// The whole text, or false with "line N: reason" and `sets` untouched.
bool ParseCounterSets(const std::string& text, CounterSets* sets, std::string* error);

// Reads a whole file: true with its bytes (and `missing` true, text empty, when it does not
// exist), or false with the reason.
bool ReadTextFile(const std::wstring& path, std::string* text, bool* missing, std::string* error);

// Reads the file: true with the sets (none when the file does not exist), or false with the
// reason (a read error, or "PATH: line N: reason").
bool ReadCounterSetsFile(const std::wstring& path, CounterSets* sets, std::string* error);

// Writes the file beside itself and renames it into place (MOVEFILE_REPLACE_EXISTING).
bool WriteCounterSetsFile(const std::wstring& path, const CounterSets& sets, std::string* error);

}  // namespace nvxsim
