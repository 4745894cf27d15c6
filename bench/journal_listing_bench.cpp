// What one housekeeping pass costs per listed file: a store whose 20 journal directories
// hold 10,000 small files that are not journals (nothing to compress or delete), listed
// and parsed by RunJournalHousekeeping. Prints the pass time and the cost per file, beside a
// bare listing of the same directories (FindFirstFileW/FindNextFileW, names only) in the same
// run. `--quick`: 200 files, one pass.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "journals/event_journals.h"
#include "journals/journal_file.h"
#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/path_names.h"
#include "runtime/path_names_testing.h"
#include "tests/support/temp_dir.h"

namespace {

int g_files = 10000;
int g_passes = 5;

bool NoOsPaths() { return true; }
const SgOsPathCalls kNoOsPaths = {NoOsPaths, NoOsPaths};

// The floor of a pass: every directory listed, every name looked at once.
size_t BareListing(const std::wstring& root) {
    size_t seen = 0;
    for (const wchar_t* type : kJournalTypeNames) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((root + L"\\" + type + L"\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) continue;
        do {
            seen += found.cFileName[0] != L'.';
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    return seen;
}

}  // namespace

int main(int argc, char** argv) {
    if (BenchQuick(argc, argv)) {
        g_files = 200;
        g_passes = 1;
    }
    std::wstring data = nvx_test::NewTempDirectory(L"nvxlisting");
    if (data.empty()) {
        fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    std::wstring root = data + L"\\Data\\Event Journals\\KestroNVX";
    for (const std::wstring& d : {data, data + L"\\Data", data + L"\\Data\\Event Journals", root}) {
        CreateDirectoryW(d.c_str(), nullptr);
    }
    for (const wchar_t* type : kJournalTypeNames) CreateDirectoryW((root + L"\\" + type).c_str(), nullptr);
    for (int i = 0; i < g_files; ++i) {
        // Small files whose names are not journal names: listed, parsed, ignored.
        std::wstring path =
            root + L"\\" + kJournalTypeNames[i % kJournalTypeCount] + L"\\notes-" + std::to_wstring(i) + L".txt";
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "cannot create %ls\n", path.c_str());
            return 1;
        }
        DWORD n = 0;
        WriteFile(h, "x", 1, &n, nullptr);
        CloseHandle(h);
    }
    std::wstring value = L"\\??\\" + data;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriverPathsKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        fprintf(stderr, "cannot write the data directory value\n");
        return 1;
    }
    RegSetValueExW(key, L"NvxProgramDataDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);

    // Every unparsable name is an Error line; filtered out here, so the pass measures listing
    // and parsing rather than console output.
    SgDebugSetFilter(kDefaultDebugFacilities, SG_LVL_CRIT);
    if (!SgInitOsSymbols() || !SgInitMemory()) return 1;
    SgSetOsPathCallsForTesting(&kNoOsPaths);
    if (!SgInitPathManagement() || !InitEventJournals()) return 1;

    std::vector<double> ms, bare;
    size_t listed = 0;
    for (int pass = 0; pass < g_passes; ++pass) {
        auto start = std::chrono::steady_clock::now();
        RunJournalHousekeeping(SgGetTimeMicros(0));
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        start = std::chrono::steady_clock::now();
        listed = BareListing(root);
        bare.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::sort(bare.begin(), bare.end());
    if (listed != static_cast<size_t>(g_files)) {
        fprintf(stderr, "the bare listing saw %zu files, not %d\n", listed, g_files);
        return 1;
    }
    printf(
        "one pass over 20 directories holding %d small non-journal files: median %.1f ms, worst %.1f ms "
        "(%d passes)\n",
        g_files, ms[ms.size() / 2], ms.back(), g_passes);
    printf("listing cost per file: %.1f us; bare listing of the same directories: median %.1f ms\n",
           ms[ms.size() / 2] * 1000.0 / g_files, bare[bare.size() / 2]);
    BenchRow(BenchText("journal housekeeping pass over %d files (ref: bare directory listing)", g_files).c_str(),
             BenchText("%.1f ms", ms[ms.size() / 2]), BenchText("%.1f ms", bare[bare.size() / 2]),
             BenchText("%.2fx", ms[ms.size() / 2] / bare[bare.size() / 2]), "-", "-");

    ShutdownEventJournals();
    SgShutdownPathManagement();
    SgSetOsPathCallsForTesting(nullptr);
    bool clean = SgShutdownMemory();
    SgShutdownOsSymbols();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDriverPathsKeyPath);
    nvx_test::RemoveTree(data);
    SgDebugShutdown();
    return clean ? 0 : 1;
}
