// Command-line options of the driver simulator's commands (`ctl ...` and `journal ...`).
//
// Guarantees: an option is accepted only when the command lists it; "--" ends the options and
// every argument after it is a word; a number option is a whole unsigned number within its bound.
// Failures say why in `problem`, in words fit for the command's error answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace nvxdriver {

struct Options {
    std::vector<std::string> words;             // the arguments that are not options, in order
    std::map<std::string, std::string> values;  // option -> value ("1" for a flag)
};

// Splits args[from...] into options and words. Every option in `valued` takes a value, those in
// `flags` take none.
bool ParseOptions(const std::vector<std::string>& args, size_t from, const std::vector<std::string>& valued,
                  const std::vector<std::string>& flags, Options* out, std::string* problem);

// The option's number, or `fallback` when it is not given.
bool NumberOption(const Options& o, const char* name, uint64_t fallback, uint64_t max, uint64_t* value,
                  std::string* problem);

// The words with one blank between each two.
std::string Joined(const std::vector<std::string>& words);

}  // namespace nvxdriver
