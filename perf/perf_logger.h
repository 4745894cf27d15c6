// The CSV performance log: each sample of a StatsGatherer becomes one row of
// <directory>\NvxPerformance.csv. The first line names the columns ("timestamp", then the
// gatherer's names); a file whose header differs from the current columns, whose first line
// cannot be read, or that has reached the size limit is rotated into NvxPerformance.csv.1
// (newest) .. NvxPerformance.csv.10 (oldest) and a new file is started.
//
// On disk: narrow text, fields separated by ",", lines ended by CR LF, no byte-order mark.
// Every open (read, create, append) lets other processes read the file but not write it; no
// handle is held between samples.
//
// Write runs on one thread at a time; failures are thrown (std::runtime_error or
// Kestro::Csv::csv_exception) and nothing is retried inside.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "perf/stats_gatherer.h"
#include "runtime/identity.h"

namespace Kestro::Perf {

class PerfLogger {
public:
    static constexpr uint64_t kSizeLimit = 1000000;
    static constexpr uint32_t kFileCount = 10;

    // The source is not owned and must outlive the logger.
    PerfLogger(std::wstring directory, StatsGatherer& source);
    PerfLogger(const PerfLogger&) = delete;
    PerfLogger& operator=(const PerfLogger&) = delete;

    // Gathers one sample and appends it as a row, starting a new file (after rotating the old
    // one) when needed. Nothing reaches the disk when the time cannot be formatted, the gather
    // fails, a name has no value or a column name holds a line feed. A file that exists where a
    // new one must be created (a rotation that could not move it away) is never truncated: the
    // write fails instead and the next sample tries again.
    void Write(FILETIME time);

    // Moves .9 to .10, ..., .1 to .2 and the current file to .1, replacing the targets. A move
    // that fails (a missing copy, for one) is passed over.
    void RotateFiles();

    // "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC, 24 characters). Throws std::runtime_error
    // "FileTimeToSystemTime failed" when the time cannot be converted, and "Timestamp out of
    // range" for a year past 9999, which the fixed width cannot hold.
    static std::string FormatTimestamp(FILETIME time);

    // Makes sure the directory exists, creating missing parents first. Throws
    // std::runtime_error when a component exists as a file or cannot be created.
    static void EnsureFolder(const std::wstring& path);

    // <directory>\NvxPerformance.csv
    const std::wstring& Path() const { return path_; }

private:
    bool HeaderMatches(const std::vector<std::string>& header) const;

    std::wstring directory_;
    uint64_t sizeLimit_;
    uint32_t fileCount_;
    StatsGatherer& source_;
    std::wstring path_;
};

}  // namespace Kestro::Perf
