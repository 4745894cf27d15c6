// Cost of one stored SgDebugPrint line (time stamp, filter, formatting, echo to standard
// output, copy into the buffer) against formatting and writing the same line with the C
// runtime alone, with standard output sent to NUL as asked, and without a standard output
// (as under the Service Control Manager, where the echo costs nothing). Results go to
// standard error, the rows for bench/run-all as well. `--quick`: one batch of each.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "runtime/debug_log.h"

namespace {

constexpr int kLinesPerBatch = 400;  // about 40 KB: always fits the 64 KiB buffer

double NsPerLine(std::chrono::steady_clock::duration d, int lines) {
    return std::chrono::duration<double, std::nano>(d).count() / lines;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Median ns per line of SgDebugPrint and of the plain C runtime line, over `batches`.
bool Measure(int batches, double* logged, double* baseline) {
    std::vector<double> l, b;
    for (int batch = 0; batch < batches; ++batch) {
        SgDebugShutdown();  // empties the buffer between batches (no log file is set)
        SgDebugInit();
        uint64_t missedBefore = SgDebugMissedMessages();
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kLinesPerBatch; ++i) {
            SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "Message from component %u request 0x%08X status %d", 30u,
                         0xE0020009u + i, -i);
        }
        l.push_back(NsPerLine(std::chrono::steady_clock::now() - start, kLinesPerBatch));
        if (SgDebugMissedMessages() != missedBefore) {
            fprintf(stderr, "lines were dropped: the batch does not measure stored lines\n");
            return false;
        }
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < kLinesPerBatch; ++i) {
            char line[1088];
            SYSTEMTIME now;
            GetSystemTime(&now);
            int n = snprintf(line, sizeof(line),
                             "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ NVXS Comms Error Message from component %u "
                             "request 0x%08X status %d\n",
                             now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                             30u, 0xE0020009u + i, -i);
            fwrite(line, 1, static_cast<size_t>(n), stdout);
            fflush(stdout);
        }
        b.push_back(NsPerLine(std::chrono::steady_clock::now() - start, kLinesPerBatch));
    }
    SgDebugShutdown();
    *logged = Median(l);
    *baseline = Median(b);
    return true;
}

void Report(const char* what, const char* metric, double logged, double baseline) {
    fprintf(stderr, "%-34s SgDebugPrint %10.0f ns/line   C runtime line %10.0f ns/line   ratio %.2f\n", what, logged,
            baseline, logged / baseline);
    BenchRowStream() = stderr;
    BenchRow(metric, BenchText("%.0f ns", logged), BenchText("%.0f ns", baseline),
             BenchText("%.2fx", logged / baseline), "-", "-");
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = BenchQuick(argc, argv);
    if (argc > 1 && strcmp(argv[1], "--no-stdout") == 0) {
        double l = 0, b = 0;
        if (!Measure(quick ? 1 : 50, &l, &b)) return 1;
        Report("no standard output (as a service):", "debug log line, no standard output (ref: C runtime line)", l, b);
        return 0;
    }
    if (freopen("NUL", "w", stdout) == nullptr) {
        fprintf(stderr, "cannot send standard output to NUL\n");
        return 1;
    }
    double l = 0, b = 0;
    if (!Measure(quick ? 1 : 5, &l, &b)) return 1;
    Report("standard output sent to NUL:", "debug log line, standard output to NUL (ref: C runtime line)", l, b);

    // The same program again with no standard output handle at all, as the SCM starts it.
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" --no-stdout" + (quick ? " --quick" : "");
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = nullptr;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "cannot start the measurement without standard output: %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}
