// What every benchmark program prints for bench/run-all, besides its own report: one line per
// metric,
//   ROW<TAB>metric<TAB>this project's figure<TAB>reference figure<TAB>ratio<TAB>target<TAB>met
// figures as text with their units, the ratio as "0.93x" (or "-"), the target as text such as
// "<= 1.0x" (or "-"), met one of yes, no, -. And `--quick`: tiny counts, only to show that the
// program builds and runs.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

inline bool BenchQuick(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) return true;
    }
    return false;
}

// printf into a std::string, for a figure with its unit.
inline std::string BenchText(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

// Rows go to standard output unless a program has sent that elsewhere (see BenchRowStream).
inline FILE*& BenchRowStream() {
    static FILE* stream = stdout;
    return stream;
}

inline void BenchRow(const char* metric, const std::string& ours, const std::string& reference,
                     const std::string& ratio, const char* target, const char* met) {
    std::fprintf(BenchRowStream(), "ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", metric, ours.c_str(), reference.c_str(),
                 ratio.c_str(), target, met);
    std::fflush(BenchRowStream());
}

// A row whose ratio is ours / reference, met when it is at most `most`.
inline bool BenchRowAtMost(const char* metric, const std::string& ours, const std::string& reference, double ratio,
                           double most) {
    const bool met = ratio <= most;
    BenchRow(metric, ours, reference, BenchText("%.2fx", ratio), BenchText("<= %.1fx", most).c_str(),
             met ? "yes" : "no");
    return met;
}
