#include "perf/stats_gatherer.h"

#include <stdexcept>

namespace Kestro::Perf {

int64_t StatsGatherer::GetValue(const std::string& path) const {
    const auto found = values_.find(path);
    if (found == values_.end()) throw std::runtime_error("Invalid instance requested");
    return found->second;
}

}  // namespace Kestro::Perf
