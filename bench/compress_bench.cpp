// Times CompressJournal on a 32 MiB journal-like file: the Windows half of the comparison with
// the host's `xz -6 -T1`, which bench/compress_bench.sh runs on the same bytes, alternating
// with this program, and prints beside this figure.
//
//   compress_bench.exe <directory> [runs] [--quick]   (runs: default 1; --quick: a 1 MiB journal)
//
// Each run writes the journal <directory>\Process-1A-1A-0-0.bin afresh (not timed) and times
// one CompressJournal of it, file work included, by the clock and by the thread's processor
// time; the best run counts. The .xz of the last run is left for the script, which recovers the
// journal's bytes from it with the host's xz.
// Output: a readable line, then "bytes=<n> xz_bytes=<n> seconds=<s> cpu_seconds=<s>".
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "journals/compress.h"
#include "journals/event_journals.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/path_names.h"
#include "runtime/path_names_testing.h"
#include "runtime/unistr.h"
#include "tests/support/temp_dir.h"

// The statistics line and the pool's chunk notes stay out of the measurement.
void SgDebugPrint(uint32_t, uint32_t, const char*, ...) {}

// No journal thread: nobody asks the compression to stop.
SgThread* EventJournalThread() { return nullptr; }

namespace {

size_t g_journalSize = 32u << 20;

bool NoOsPaths() { return true; }

// Journal-like records: a binary header (kind, sequence, 64-bit time, process and thread ids),
// a 32-byte hash, a UTF-16 path and, for some kinds, a short UTF-16 detail text, the way the
// driver records file, process and registry events. Compresses about 4:1, as real journals do.
std::string MakeJournal(size_t size) {
    static const wchar_t* const kDirs[] = {
        L"\\Device\\HarddiskVolume1\\Windows\\System32\\",
        L"\\Device\\HarddiskVolume1\\Program Files\\Kestro\\Vantor\\",
        L"\\Device\\HarddiskVolume1\\Users\\alice\\AppData\\Local\\Temp\\",
        L"\\Device\\HarddiskVolume1\\ProgramData\\Kestro\\Data\\",
        L"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\",
    };
    static const wchar_t* const kNames[] = {L"kernel32.dll",   L"svchost.exe", L"report.docx",   L"~tmp1234.tmp",
                                            L"NVXService.exe", L"index.dat",   L"OneDriveSetup", L"chrome.exe"};
    static const wchar_t* const kDetails[] = {L"CreateFile", L"WriteFile", L"SetValueKey", L"ProcessStart",
                                              L"ImageLoad"};
    uint64_t state = 0x2545F4914F6CDD1Dull;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::string out;
    out.reserve(size + 1024);
    uint64_t time = 0x01DA9B3C00000000ull;
    for (uint32_t sequence = 0; out.size() < size; ++sequence) {
        const uint64_t r = next();
        time += r % 50000;
        const uint32_t kind = uint32_t(r % 5);
        const uint32_t header[6] = {kind,
                                    sequence,
                                    uint32_t(time),
                                    uint32_t(time >> 32),
                                    uint32_t(4 * (r >> 20 & 0x3FF)),
                                    uint32_t(4 * (r >> 40 & 0xFFF))};
        out.append(reinterpret_cast<const char*>(header), sizeof(header));
        for (int i = 0; i < 4; ++i) {
            const uint64_t h = next();
            out.append(reinterpret_cast<const char*>(&h), sizeof(h));
        }
        std::wstring text = std::wstring(kDirs[(r >> 8) % 5]) + kNames[(r >> 12) % 8];
        if (kind >= 3) text += std::wstring(L"|") + kDetails[(r >> 16) % 5];
        const uint16_t bytes = uint16_t(text.size() * sizeof(wchar_t));
        out.append(reinterpret_cast<const char*>(&bytes), sizeof(bytes));
        out.append(reinterpret_cast<const char*>(text.data()), bytes);
    }
    out.resize(size);
    return out;
}

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) return 0;
    return (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

double Seconds(const FILETIME& t) { return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7; }

// Processor time of the calling thread (user and kernel) in seconds.
double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    return Seconds(kernel) + Seconds(user);
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

// Writes the journal afresh and times one CompressJournal of it; false when a step failed.
bool TimeOneRun(const std::wstring& dosPath, const std::string& data, Timing* timing) {
    if (!nvx_test::WriteFileBytes(dosPath, data)) {
        std::fprintf(stderr, "cannot write %ls\n", dosPath.c_str());
        return false;
    }
    JournalFile journal{};
    journal.Path = SgCreateUnistrFromWide((L"\\??\\" + dosPath).c_str());
    journal.Size = uint32_t(data.size());
    journal.LongForm = journal.IsBin = true;
    if (journal.Path == nullptr) return false;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    const double cpuStart = ThreadCpuSeconds();
    QueryPerformanceCounter(&start);
    const uint32_t status = CompressJournal(&journal);
    QueryPerformanceCounter(&end);
    timing->cpu = ThreadCpuSeconds() - cpuStart;
    timing->wall = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    SgFreeUnistr(journal.Path);
    if (status != 0) std::fprintf(stderr, "CompressJournal failed: 0x%08X\n", status);
    return status == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--quick") {
            g_journalSize = 1u << 20;
        } else {
            args.emplace_back(argv[i]);
        }
    }
    if (args.empty()) {
        std::fprintf(stderr, "usage: compress_bench.exe <directory> [runs] [--quick]\n");
        return 2;
    }
    const std::wstring dir(args[0].begin(), args[0].end());
    const int runs = args.size() > 1 ? std::max(1, std::atoi(args[1].c_str())) : 1;

    const SgOsPathCalls calls = {NoOsPaths, NoOsPaths};
    SgSetOsPathCallsForTesting(&calls);
    if (!SgInitOsSymbols() || !SgInitMemory() || !SgInitPathManagement()) {
        std::fprintf(stderr, "runtime start-up failed\n");
        return 1;
    }
    const std::string data = MakeJournal(g_journalSize);
    const std::wstring dosPath = dir + L"\\Process-1A-1A-0-0.bin";
    Timing best;
    bool ok = true;
    for (int run = 0; run < runs && ok; ++run) {
        Timing timing;
        ok = TimeOneRun(dosPath, data, &timing);
        if (run == 0 || timing.wall < best.wall) best.wall = timing.wall;
        if (run == 0 || timing.cpu < best.cpu) best.cpu = timing.cpu;
    }
    const bool clean = SgShutdownPathManagement() && SgShutdownMemory();
    if (!ok || !clean) {
        std::fprintf(stderr, ok ? "pool blocks left behind\n" : "benchmark failed\n");
        return 1;
    }
    const uint64_t xzBytes = FileSize(dosPath.substr(0, dosPath.size() - 3) + L"xz");
    std::printf(
        "CompressJournal: %zu bytes -> %llu bytes, best of %d: %.3f s (%.2f MB/s), processor %.3f s (%.2f MB/s)\n",
        g_journalSize, static_cast<unsigned long long>(xzBytes), runs, best.wall,
        double(g_journalSize) / 1e6 / best.wall, best.cpu, double(g_journalSize) / 1e6 / best.cpu);
    std::printf("bytes=%zu xz_bytes=%llu seconds=%.6f cpu_seconds=%.6f\n", g_journalSize,
                static_cast<unsigned long long>(xzBytes), best.wall, best.cpu);
    return 0;
}
