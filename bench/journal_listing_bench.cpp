// What one housekeeping pass costs per listed file: a store whose 20 journal directories
// hold 10,000 small files that are not journals (nothing to compress or delete), listed
// and parsed by RunJournalHousekeeping. Prints the pass time and the cost per file.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

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

constexpr int kFiles = 10000;
constexpr int kPasses = 5;

bool NoOsPaths() { return true; }
const SgOsPathCalls kNoOsPaths = {NoOsPaths, NoOsPaths};

}  // namespace

int main() {
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
    for (int i = 0; i < kFiles; ++i) {
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

    std::vector<double> ms;
    for (int pass = 0; pass < kPasses; ++pass) {
        auto start = std::chrono::steady_clock::now();
        RunJournalHousekeeping(SgGetTimeMicros(0));
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    printf(
        "one pass over 20 directories holding %d small non-journal files: median %.1f ms, worst %.1f ms "
        "(%d passes)\n",
        kFiles, ms[ms.size() / 2], ms.back(), kPasses);
    printf("listing cost per file: %.1f us\n", ms[ms.size() / 2] * 1000.0 / kFiles);

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
