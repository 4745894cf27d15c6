// Cost of one stored SgDebugPrint line (time stamp, filter, formatting, echo to standard
// output sent to NUL, copy into the buffer) against formatting and writing the same
// line with the C runtime alone. Results go to standard error.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "runtime/debug_log.h"

namespace {

constexpr int kLinesPerBatch = 400;  // about 40 KB: always fits the 64 KiB buffer
constexpr int kBatches = 50;

double NsPerLine(std::chrono::steady_clock::duration d, int lines) {
    return std::chrono::duration<double, std::nano>(d).count() / lines;
}

}  // namespace

int main() {
    if (freopen("NUL", "w", stdout) == nullptr) {
        fprintf(stderr, "cannot send standard output to NUL\n");
        return 1;
    }
    std::vector<double> logged, baseline;
    for (int batch = 0; batch < kBatches; ++batch) {
        SgDebugShutdown();  // empties the buffer between batches (no log file is set)
        SgDebugInit();
        uint64_t missedBefore = SgDebugMissedMessages();
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kLinesPerBatch; ++i) {
            SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "Message from component %u request 0x%08X status %d", 30u,
                         0xE0020009u + i, -i);
        }
        logged.push_back(NsPerLine(std::chrono::steady_clock::now() - start, kLinesPerBatch));
        if (SgDebugMissedMessages() != missedBefore) {
            fprintf(stderr, "lines were dropped: the batch does not measure stored lines\n");
            return 1;
        }

        start = std::chrono::steady_clock::now();
        for (int i = 0; i < kLinesPerBatch; ++i) {
            char line[1088];
            SYSTEMTIME now;
            GetSystemTime(&now);
            int n = snprintf(line, sizeof(line),
                             "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ NVXS Comms Error Message from component %u "
                             "request 0x%08X status %d\r\n",
                             now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                             now.wMilliseconds, 30u, 0xE0020009u + i, -i);
            fwrite(line, 1, static_cast<size_t>(n), stdout);
            fflush(stdout);
        }
        baseline.push_back(NsPerLine(std::chrono::steady_clock::now() - start, kLinesPerBatch));
    }
    std::sort(logged.begin(), logged.end());
    std::sort(baseline.begin(), baseline.end());
    double l = logged[logged.size() / 2], b = baseline[baseline.size() / 2];
    fprintf(stderr, "SgDebugPrint, stored line, stdout to NUL: %8.0f ns/line (median of %d batches of %d)\n", l,
            kBatches, kLinesPerBatch);
    fprintf(stderr, "C runtime snprintf + fwrite + fflush:     %8.0f ns/line\n", b);
    fprintf(stderr, "ratio: %.2f\n", l / b);
    SgDebugShutdown();
    return 0;
}
