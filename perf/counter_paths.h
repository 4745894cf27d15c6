// Turning the lists a counter-set enumeration returns into counter paths: pure text work, no
// platform calls. The lists come from outside the service, so every walk stays inside the byte
// count it was given, whatever the terminators say.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace Kestro::Perf {

// The strings of a multi-string list (each ended by a zero, the list by an empty string) held
// in the first `length` characters of `data`. A string still open at the end of those
// characters is taken as it stands.
std::vector<std::string> SplitMultiString(const char* data, size_t length);

// The counter paths of one set, in list order: "\Set\Counter" for a set without instances
// (`hasInstances` false), "\Set(Instance)\Counter" for every instance and, within it, every
// counter otherwise. A set with instances whose first instance name is empty contributes
// nothing. With `totalsOnly`, only counters whose names begin with "Total " are taken.
std::vector<std::string> CounterPaths(const std::string& set, const std::vector<std::string>& counters,
                                      bool hasInstances, const std::vector<std::string>& instances, bool totalsOnly);

}  // namespace Kestro::Perf
