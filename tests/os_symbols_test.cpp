// The OS symbol table: module acquisition and release, required and optional slots, the
// sechost takeover of the trace group, and the real resolution on this system. The native file
// and symbolic-link slots are used for real by the debug log (after the table's shutdown too, in
// its final flush), the native file layer and OS path management, whose tests see them work.
#include "runtime/os_symbols.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/debug_log.h"
#include "runtime/os_symbols_testing.h"
#include "tests/support/log_capture.h"

#if defined(__MINGW32__)
// Where the toolchain declares a native function itself, the hand-written slot type must
// agree with it exactly: a wrong parameter here only shows up as a corrupted call.
static_assert(std::is_same_v<PFN_NtClose, decltype(&::NtClose)>);
static_assert(std::is_same_v<PFN_NtCreateFile, decltype(&::NtCreateFile)>);
static_assert(std::is_same_v<PFN_NtOpenFile, decltype(&::NtOpenFile)>);
static_assert(std::is_same_v<PFN_NtQueryInformationFile, decltype(&::NtQueryInformationFile)>);
static_assert(std::is_same_v<PFN_NtSetInformationFile, decltype(&::NtSetInformationFile)>);
static_assert(std::is_same_v<PFN_NtQueryObject, decltype(&::NtQueryObject)>);
static_assert(std::is_same_v<PFN_NtQuerySystemInformation, decltype(&::NtQuerySystemInformation)>);
static_assert(std::is_same_v<PFN_NtQueryInformationProcess, decltype(&::NtQueryInformationProcess)>);
static_assert(std::is_same_v<PFN_NtQueryInformationThread, decltype(&::NtQueryInformationThread)>);
#endif

// ---- captured debug log ------------------------------------------------------------------

namespace {

using nvx_test::ClearLog;
using nvx_test::LogLine;
using nvx_test::TakeLog;

std::vector<std::string> ErrorLines(const std::vector<LogLine>& log) {
    std::vector<std::string> lines;
    for (const LogLine& line : log) {
        if (line.level >= SG_LVL_WARNING) lines.push_back(line.text);
    }
    return lines;
}

// ---- a fake loader: five modules at fixed fake addresses, exports computed from names ----

enum FakeModule { kNtdll, kKernel32, kAdvapi32, kSechost, kBcrypt, kFakeModuleCount };
constexpr const char* kModuleNames[kFakeModuleCount] = {"ntdll.dll", "kernel32.dll", "advapi32.dll", "sechost.dll",
                                                        "bcrypt.dll"};
constexpr uintptr_t kFakeBase = 0x10000000;
constexpr uintptr_t kFakeModuleSpan = 0x100000;

// Distinct, recognisable error codes per call, so a message shows which call failed.
constexpr DWORD kNotResidentError = ERROR_MOD_NOT_FOUND;  // 0x7E
constexpr DWORD kLoadError = ERROR_BAD_EXE_FORMAT;        // 0xC1

struct FakeSystem {
    bool resident[kFakeModuleCount];  // found by GetModuleHandleA
    bool loadable[kFakeModuleCount];  // supplied by LoadLibraryA
    std::set<std::pair<int, std::string>> missingExports;
    int handleQueries[kFakeModuleCount];
    int loadCalls[kFakeModuleCount];
    int references[kFakeModuleCount];  // taken by LoadLibraryA, dropped by FreeLibrary
    int freeCalls[kFakeModuleCount];
    std::vector<std::pair<int, std::string>> lookups;
};
FakeSystem g_fake;

HMODULE FakeHandle(int module) { return reinterpret_cast<HMODULE>(kFakeBase + (module + 1) * kFakeModuleSpan); }

int ModuleOfHandle(HMODULE handle) {
    return static_cast<int>((reinterpret_cast<uintptr_t>(handle) - kFakeBase) / kFakeModuleSpan) - 1;
}

int ModuleOfName(LPCSTR name) {
    for (int module = 0; module < kFakeModuleCount; ++module) {
        if (_stricmp(name, kModuleNames[module]) == 0) return module;
    }
    ADD_FAILURE() << "unexpected module " << name;
    return -1;
}

uintptr_t FakeExport(int module, const std::string& name) {
    uint32_t hash = 2166136261u;
    for (const char c : name) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    return reinterpret_cast<uintptr_t>(FakeHandle(module)) + 0x10 + hash % (kFakeModuleSpan - 0x10);
}

HMODULE WINAPI FakeGetModuleHandleA(LPCSTR name) {
    const int module = ModuleOfName(name);
    if (module < 0) return nullptr;
    ++g_fake.handleQueries[module];
    if (g_fake.resident[module] || g_fake.references[module] > 0) return FakeHandle(module);
    SetLastError(kNotResidentError);
    return nullptr;
}

HMODULE WINAPI FakeLoadLibraryA(LPCSTR name) {
    const int module = ModuleOfName(name);
    if (module < 0) return nullptr;
    ++g_fake.loadCalls[module];
    if (!g_fake.loadable[module]) {
        SetLastError(kLoadError);
        return nullptr;
    }
    ++g_fake.references[module];
    return FakeHandle(module);
}

FARPROC WINAPI FakeGetProcAddress(HMODULE handle, LPCSTR name) {
    const int module = ModuleOfHandle(handle);
    g_fake.lookups.emplace_back(module, name);
    if (g_fake.missingExports.count({module, name}) != 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(FakeExport(module, name));
}

BOOL WINAPI FakeFreeLibrary(HMODULE handle) {
    const int module = ModuleOfHandle(handle);
    ++g_fake.freeCalls[module];
    if (g_fake.references[module] == 0) {
        ADD_FAILURE() << "released a reference never taken: " << kModuleNames[module];
        return FALSE;
    }
    --g_fake.references[module];
    return TRUE;
}

constexpr SgOsLoaderHooks kFakeLoader = {FakeGetModuleHandleA, FakeLoadLibraryA, FakeGetProcAddress, FakeFreeLibrary};

std::vector<SgOsSymbolInfo> Rows() {
    std::vector<SgOsSymbolInfo> rows(SgOsSymbolCountForTesting());
    for (uint32_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(SgGetOsSymbolForTesting(i, &rows[i]));
    return rows;
}

template <typename Pfn>
uintptr_t Value(Pfn slot) {
    return reinterpret_cast<uintptr_t>(slot);
}

// The trace group as the service sees it, slot by slot.
std::vector<std::pair<std::string, uintptr_t>> TraceSlots() {
    return {{"StartTraceW", Value(SgStartTraceW)},     {"StartTraceA", Value(SgStartTraceA)},
            {"ControlTraceW", Value(SgControlTraceW)}, {"ControlTraceA", Value(SgControlTraceA)},
            {"OpenTraceW", Value(SgOpenTraceW)},       {"OpenTraceA", Value(SgOpenTraceA)},
            {"EnableTraceEx", Value(SgEnableTraceEx)}, {"ProcessTrace", Value(SgProcessTrace)},
            {"CloseTrace", Value(SgCloseTrace)}};
}

class OsSymbolsTest : public testing::Test {
protected:
    void SetUp() override {
        g_fake = FakeSystem{};
        // A typical process: ntdll and kernel32 present, the other three still to load.
        g_fake.resident[kNtdll] = g_fake.resident[kKernel32] = true;
        g_fake.loadable[kAdvapi32] = g_fake.loadable[kSechost] = g_fake.loadable[kBcrypt] = true;
        ClearLog();
        SgSetOsLoaderForTesting(&kFakeLoader);
    }

    void TearDown() override {
        SgShutdownOsSymbols();
        for (int module = 0; module < kFakeModuleCount; ++module) {
            EXPECT_EQ(g_fake.references[module], 0) << "still held: " << kModuleNames[module];
        }
        SgSetOsLoaderForTesting(nullptr);
    }
};

// ---- resolution ----------------------------------------------------------------------------

// Named slots hold their own module's export: the table's link between a row and the variable the
// service calls through. The trace group stays advapi32's while advapi32 has StartTraceW.
TEST_F(OsSymbolsTest, NamedSlotsHoldTheExportsOfTheirModules) {
    ASSERT_TRUE(SgInitOsSymbols());
    EXPECT_EQ(Value(SgNtCreateFile), FakeExport(kNtdll, "NtCreateFile"));
    EXPECT_EQ(Value(SgSetConsoleCtrlHandler), FakeExport(kKernel32, "SetConsoleCtrlHandler"));
    EXPECT_EQ(Value(SgBCryptGenRandom), FakeExport(kBcrypt, "BCryptGenRandom"));
    for (const auto& [name, value] : TraceSlots()) EXPECT_EQ(value, FakeExport(kAdvapi32, name)) << name;
    for (const auto& lookup : g_fake.lookups) EXPECT_NE(lookup.first, kSechost) << lookup.second;

    const auto log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].facility, SG_FAC_INIT);
    EXPECT_EQ(log[0].level, SG_LVL_DEBUG);
    EXPECT_EQ(log[0].text, "Initialize OS symbols");
}

// Every export is taken away once. Only the three optional ones may be missing, and then every
// other slot is still filled; any other fails the start-up without a message, and the slot is not
// left holding an old value.
TEST_F(OsSymbolsTest, OnlyTheThreeOptionalExportsMayBeMissing) {
    const std::set<std::string> optional = {"RegisterServiceCtrlHandlerExA", "RegisterServiceCtrlHandlerExW",
                                            "QueryServiceStatusEx"};
    g_fake.loadable[kSechost] = false;  // the trace group is decided by advapi32 alone here

    for (uint32_t i = 0; i < SgOsSymbolCountForTesting(); ++i) {
        SgOsSymbolInfo row{};
        ASSERT_TRUE(SgGetOsSymbolForTesting(i, &row));
        const int module = ModuleOfName(row.moduleName);
        if (module == kSechost) continue;
        // A complete start first, so a slot left untouched would still hold a value.
        ASSERT_TRUE(SgInitOsSymbols()) << "the complete system must start";
        SgShutdownOsSymbols();
        g_fake.missingExports = {{module, row.functionName}};
        ClearLog();

        const bool started = SgInitOsSymbols();
        EXPECT_EQ(started, optional.count(row.functionName) != 0) << row.functionName;
        for (const SgOsSymbolInfo& after : Rows()) {
            if (std::strcmp(after.functionName, row.functionName) == 0) {
                EXPECT_EQ(after.slotValue, 0u) << row.functionName;
            } else if (started) {
                EXPECT_NE(after.slotValue, 0u) << after.functionName << " without " << row.functionName;
            }
        }
        const auto log = TakeLog();
        EXPECT_TRUE(ErrorLines(log).empty()) << row.functionName;
        for (const LogLine& line : log) {
            EXPECT_EQ(line.text.find(row.functionName), std::string::npos) << line.text;
        }
        SgShutdownOsSymbols();
        g_fake.missingExports.clear();
    }
}

// ---- the trace group -------------------------------------------------------------------------

TEST_F(OsSymbolsTest, AdvapiWithoutStartTraceWTakesAllNineFromSechost) {
    g_fake.missingExports = {{kAdvapi32, "StartTraceW"}};
    ASSERT_TRUE(SgInitOsSymbols());
    for (const auto& [name, value] : TraceSlots()) {
        EXPECT_EQ(value, FakeExport(kSechost, name)) << name;
    }
}

TEST_F(OsSymbolsTest, SechostReplacesTheTraceGroupRatherThanFillingGaps) {
    // advapi32 has CloseTrace, sechost does not: the group comes from sechost as a whole.
    g_fake.missingExports = {{kAdvapi32, "StartTraceW"}, {kSechost, "CloseTrace"}};
    EXPECT_FALSE(SgInitOsSymbols());
    EXPECT_EQ(SgCloseTrace, nullptr);
    EXPECT_TRUE(ErrorLines(TakeLog()).empty());
}

TEST_F(OsSymbolsTest, AdvapiWithStartTraceWNeverConsultsSechost) {
    g_fake.missingExports = {{kAdvapi32, "CloseTrace"}};
    EXPECT_FALSE(SgInitOsSymbols());
    for (const auto& lookup : g_fake.lookups) EXPECT_NE(lookup.first, kSechost) << lookup.second;
}

TEST_F(OsSymbolsTest, AdvapiWithoutStartTraceWAndNoSechostFails) {
    g_fake.missingExports = {{kAdvapi32, "StartTraceW"}};
    g_fake.loadable[kSechost] = false;
    EXPECT_FALSE(SgInitOsSymbols());
    EXPECT_TRUE(ErrorLines(TakeLog()).empty());
}

// ---- modules -----------------------------------------------------------------------------

TEST_F(OsSymbolsTest, ReleasesOnlyModulesItLoadedAndEachOnce) {
    g_fake.resident[kAdvapi32] = true;  // found, not loaded: never ours to release
    ASSERT_TRUE(SgInitOsSymbols());
    EXPECT_EQ(g_fake.loadCalls[kAdvapi32], 0);
    EXPECT_EQ(g_fake.loadCalls[kSechost], 1);
    EXPECT_EQ(g_fake.loadCalls[kBcrypt], 1);

    ClearLog();
    EXPECT_TRUE(SgShutdownOsSymbols());
    EXPECT_TRUE(SgShutdownOsSymbols());
    EXPECT_EQ(g_fake.freeCalls[kNtdll], 0);
    EXPECT_EQ(g_fake.freeCalls[kKernel32], 0);
    EXPECT_EQ(g_fake.freeCalls[kAdvapi32], 0);
    EXPECT_EQ(g_fake.freeCalls[kSechost], 1);
    EXPECT_EQ(g_fake.freeCalls[kBcrypt], 1);

    const auto log = TakeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].facility, SG_FAC_SHUTDOWN);
    EXPECT_EQ(log[0].level, SG_LVL_DEBUG);
    EXPECT_EQ(log[0].text, "Shutdown OS symbols");
}

TEST_F(OsSymbolsTest, UnavailableBcryptFailsWithoutMessageAndReleasesTheRest) {
    g_fake.loadable[kBcrypt] = false;
    EXPECT_FALSE(SgInitOsSymbols());
    EXPECT_TRUE(ErrorLines(TakeLog()).empty());
    for (const SgOsSymbolInfo& row : Rows()) {
        if (ModuleOfName(row.moduleName) == kBcrypt) {
            EXPECT_EQ(row.slotValue, 0u) << row.functionName;
        }
    }
    EXPECT_EQ(g_fake.freeCalls[kAdvapi32], 1);
    EXPECT_EQ(g_fake.freeCalls[kSechost], 1);
}

struct UnobtainableModule {
    int module;
    const char* message;
};

void PrintTo(const UnobtainableModule& c, std::ostream* out) { *out << kModuleNames[c.module]; }

class OsSymbolsMissingModuleTest : public OsSymbolsTest, public testing::WithParamInterface<UnobtainableModule> {};

// ntdll and kernel32 are only looked up, never loaded; advapi32 reports LoadLibraryA's
// error, the last call that failed.
TEST_P(OsSymbolsMissingModuleTest, FailsWithOneMessageAndAsksNoFurtherModule) {
    const UnobtainableModule& c = GetParam();
    g_fake.resident[c.module] = false;
    g_fake.loadable[c.module] = false;

    EXPECT_FALSE(SgInitOsSymbols());

    const auto log = TakeLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].text, "Initialize OS symbols");
    EXPECT_EQ(log[1].facility, SG_FAC_INIT);
    EXPECT_EQ(log[1].level, SG_LVL_ERROR);
    EXPECT_EQ(log[1].text, c.message);
    EXPECT_EQ(log[2].facility, SG_FAC_SHUTDOWN);
    EXPECT_EQ(log[2].text, "Shutdown OS symbols");
    EXPECT_EQ(g_fake.loadCalls[kNtdll] + g_fake.loadCalls[kKernel32], 0);
    for (int later = c.module + 1; later < kFakeModuleCount; ++later) {
        EXPECT_EQ(g_fake.handleQueries[later] + g_fake.loadCalls[later], 0) << kModuleNames[later];
    }
    EXPECT_TRUE(g_fake.lookups.empty());
}

INSTANTIATE_TEST_SUITE_P(RequiredModules, OsSymbolsMissingModuleTest,
                         testing::Values(UnobtainableModule{kNtdll, "Error: Unable to open ntdll.dll 0x0000007E"},
                                         UnobtainableModule{kKernel32, "Error: Unable to open kernel32.dll 0x0000007E"},
                                         UnobtainableModule{kAdvapi32,
                                                            "Error: Unable to open advapi32.dll 0x000000C1"}));

// ---- the real system ---------------------------------------------------------------------------

class OsSymbolsRealSystemTest : public testing::Test {
protected:
    void SetUp() override { ClearLog(); }
    void TearDown() override { SgShutdownOsSymbols(); }
};

TEST_F(OsSymbolsRealSystemTest, ResolvesEveryRequiredFunction) {
    const bool started = SgInitOsSymbols();
    std::string missingRequired;
    for (const SgOsSymbolInfo& row : Rows()) {
        const std::string qualified = std::string(row.moduleName) + "!" + row.functionName;
        if (row.slotValue == 0) {
            if (row.required) {
                missingRequired += " " + qualified;
            } else {
                std::printf("optional export absent here: %s\n", qualified.c_str());
            }
            continue;
        }
        if (std::strcmp(row.moduleName, "sechost.dll") == 0) continue;  // shares advapi32's slots
        const FARPROC direct = GetProcAddress(GetModuleHandleA(row.moduleName), row.functionName);
        EXPECT_EQ(row.slotValue, reinterpret_cast<uintptr_t>(direct)) << row.functionName;
    }
    EXPECT_TRUE(started);
    EXPECT_EQ(missingRequired, "");
    EXPECT_TRUE(ErrorLines(TakeLog()).empty());
}

// Modules the process already had stay; the ones the table loaded are gone afterwards.
TEST_F(OsSymbolsRealSystemTest, ShutdownReleasesExactlyWhatItLoaded) {
    const char* const loadable[] = {"advapi32.dll", "sechost.dll", "bcrypt.dll"};
    bool residentBefore[3];
    for (int i = 0; i < 3; ++i) residentBefore[i] = GetModuleHandleA(loadable[i]) != nullptr;

    ASSERT_TRUE(SgInitOsSymbols());
    for (const char* name : loadable) EXPECT_NE(GetModuleHandleA(name), nullptr) << name;
    SgShutdownOsSymbols();

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(GetModuleHandleA(loadable[i]) != nullptr, residentBefore[i]) << loadable[i];
    }
}

}  // namespace
