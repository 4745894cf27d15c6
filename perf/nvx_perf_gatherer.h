// The driver's performance counters, sampled into the CSV performance log.
//
// NvxPerfGatherer discovers every counter of the driver's eleven counter sets through PDH, keeps
// one query for them and reads raw values only; any failure of a sample resets it, and the next
// sample discovers everything again. It owns the CSV log and the periodic task that samples it:
// the first sample is taken at once, then one per PerfCollectionPeriodSec (300 s by default).
//
// InitPerfLogger and ShutdownPerfLogger are the service's entry points (main thread only). The
// sampling thread catches everything at its top: no exception leaves it or these entry points.
#pragma once

#include <windows.h>

#include <pdh.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "perf/perf_logger.h"
#include "perf/periodic_task.h"
#include "perf/stats_gatherer.h"

namespace Kestro::Perf {

constexpr int kPerfCounterSetCount = 11;
// The counter sets in column order; the first one contributes only its "Total " counters.
extern const char* const PerfCounterSets[kPerfCounterSetCount];
extern const char kTotalsOnlySet[];

// The ProgramData folder followed by "\Kestro\Vantor\Logs\Perf"; throws std::runtime_error when
// the folder cannot be found.
std::wstring GetPerfLogDirectory();

class NvxPerfGatherer final : public StatsGatherer {
public:
    // Reads the period and starts sampling; throws on failure (folder, allocation, thread).
    NvxPerfGatherer();
    // Stops the sampling (a sample in progress finishes first), then closes the query.
    ~NvxPerfGatherer() override;

    void Gather() override;

private:
    void DiscoverCounters();
    void OpenQuery();
    void CollectValues();
    void ResetCounters();
    // One sample into the log; logs what fails and never throws.
    void LogSample() noexcept;

    // One column of a sample: its counter and where its value is kept (a node of values_).
    struct Column {
        PDH_HCOUNTER counter;
        int64_t* value;
    };

    bool initialised_ = false;
    PDH_HQUERY query_ = nullptr;
    std::map<std::string, PDH_HCOUNTER> counters_;
    std::vector<Column> columns_;  // in the order of names_, set up with the query
    PerfLogger logger_;
    std::unique_ptr<PeriodicTask> task_;
};

}  // namespace Kestro::Perf

// Starts the gatherer when the installed driver's major version is 2 or higher. True when done
// (running, or not wanted for this driver); false after a failure that a later call retries.
bool InitPerfLogger();
// Stops and destroys the gatherer, if there is one.
void ShutdownPerfLogger();
