// The abstract source of named 64-bit statistics that the CSV performance log writes: a list of
// names that fixes the column order, and the latest value of each name. Gather() refreshes both
// and reports failures by throwing; the log never writes a partial sample.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Kestro::Perf {

class StatsGatherer {
public:
    StatsGatherer() = default;
    virtual ~StatsGatherer() = default;
    StatsGatherer(const StatsGatherer&) = delete;
    StatsGatherer& operator=(const StatsGatherer&) = delete;

    // Refreshes names and values; throws on failure. Called on the sampling thread only.
    virtual void Gather() = 0;

    // The value stored under a name; throws std::runtime_error "Invalid instance requested" when
    // the name has none.
    int64_t GetValue(const std::string& path) const;

    // Names in column order.
    const std::vector<std::string>& Names() const { return names_; }

protected:
    std::vector<std::string> names_;
    std::map<std::string, int64_t> values_;
};

}  // namespace Kestro::Perf
