#include "perf/counter_paths.h"

namespace Kestro::Perf {

std::vector<std::string> SplitMultiString(const char* data, size_t length) {
    std::vector<std::string> strings;
    size_t at = 0;
    while (at < length && data[at] != '\0') {
        size_t end = at;
        while (end < length && data[end] != '\0') ++end;
        strings.emplace_back(data + at, end - at);
        at = end + 1;
    }
    return strings;
}

std::vector<std::string> CounterPaths(const std::string& set, const std::vector<std::string>& counters,
                                      bool hasInstances, const std::vector<std::string>& instances, bool totalsOnly) {
    std::vector<std::string> paths;
    if (!hasInstances) {
        for (const std::string& counter : counters) paths.push_back("\\" + set + "\\" + counter);
        return paths;
    }
    if (instances.empty() || instances.front().empty()) return paths;
    for (const std::string& instance : instances) {
        for (const std::string& counter : counters) {
            if (totalsOnly && counter.compare(0, 6, "Total ") != 0) continue;
            paths.push_back("\\" + set + "(" + instance + ")\\" + counter);
        }
    }
    return paths;
}

}  // namespace Kestro::Perf
