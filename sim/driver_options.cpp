// Command-line options of the driver simulator's commands (see driver_options.h).
#include "sim/driver_options.h"

#include <algorithm>

#include "sim/simsupport.h"

namespace nvxdriver {

bool ParseOptions(const std::vector<std::string>& args, size_t from, const std::vector<std::string>& valued,
                  const std::vector<std::string>& flags, Options* out, std::string* problem) {
    bool optionsDone = false;
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsDone || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (arg == "--" && !optionsDone) {
                optionsDone = true;
                continue;
            }
            out->words.push_back(arg);
            continue;
        }
        if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            out->values[arg] = "1";
        } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
            if (i + 1 >= args.size()) {
                *problem = arg + " needs a value";
                return false;
            }
            out->values[arg] = args[++i];
        } else {
            *problem = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

bool NumberOption(const Options& o, const char* name, uint64_t fallback, uint64_t max, uint64_t* value,
                  std::string* problem) {
    auto it = o.values.find(name);
    if (it == o.values.end()) {
        *value = fallback;
        return true;
    }
    if (!nvxsim::ParseNumber(it->second, value) || *value > max) {
        *problem = std::string(name) + " needs a number up to " + std::to_string(max);
        return false;
    }
    return true;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace nvxdriver
