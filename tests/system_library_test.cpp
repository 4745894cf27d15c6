// Libraries of the OS loaded from System32 only: the process-wide restriction of the search, the
// load by bare name that ignores a copy beside the program, and a library's exports resolved
// together once, with its failures logged once. The fltlib.dll stand-in is copied beside the tests
// (tests/CMakeLists.txt), as a planted DLL would be beside the service; Wine's own fltlib.dll is
// the one in System32. Each case runs in a process of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>
#include <string>

#include "runtime/debug_log.h"
#include "runtime/system_library.h"
#include "tests/support/log_capture.h"

namespace {

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, n);
}

std::wstring Directory(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }

std::wstring System32() {
    wchar_t path[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, n);
}

// The stand-in must be beside the test for the cases to mean anything.
void ExpectStandInBesideTheProgram() {
    const std::wstring beside = Directory(ModulePath(nullptr)) + L"\\fltlib.dll";
    ASSERT_NE(GetFileAttributesW(beside.c_str()), INVALID_FILE_ATTRIBUTES) << "no fltlib.dll beside the test";
}

// Either copy: the stand-in has its marker export, Wine's does not.
bool IsStandIn(HMODULE module) { return GetProcAddress(module, "NvxSimFltlibStandIn") != nullptr; }

}  // namespace

TEST(SystemLibrary, AfterTheRestrictionABareNameIsNotTakenFromBesideTheProgram) {
    ExpectStandInBesideTheProgram();
    ASSERT_EQ(GetModuleHandleW(L"fltlib.dll"), nullptr);
    nvx_test::ClearLog();
    EXPECT_EQ(SgRestrictDllSearchToSystem32(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(nvx_test::TakeLog().empty());
    HMODULE module = LoadLibraryA("fltlib.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_FALSE(IsStandIn(module));
    EXPECT_EQ(Lower(Directory(ModulePath(module))), Lower(System32()));
    FreeLibrary(module);
}

TEST(SystemLibrary, LoadingByBareNameTakesSystem32UnlessTheProcessHasTheLibrary) {
    ExpectStandInBesideTheProgram();
    HMODULE system = SgLoadSystem32Library("fltlib.dll");
    ASSERT_NE(system, nullptr);
    EXPECT_FALSE(IsStandIn(system));
    EXPECT_EQ(Lower(Directory(ModulePath(system))), Lower(System32()));
    FreeLibrary(system);
    ASSERT_EQ(GetModuleHandleW(L"fltlib.dll"), nullptr) << "the reference taken was the only one";

    // A process that already has a fltlib.dll (a test that loaded the stand-in) gets that one.
    HMODULE standIn = LoadLibraryExW(L"fltlib.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    ASSERT_NE(standIn, nullptr);
    ASSERT_TRUE(IsStandIn(standIn));
    HMODULE taken = SgLoadSystem32Library("fltlib.dll");
    EXPECT_EQ(taken, standIn);
    FreeLibrary(taken);
    EXPECT_EQ(GetModuleHandleW(L"fltlib.dll"), standIn) << "each caller released only its own reference";
    FreeLibrary(standIn);

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(SgLoadSystem32Library("nvx-no-such-library.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(SystemLibrary, EveryExportIsResolvedOnceOrNoneIsUsedAndTheFailureIsLoggedOnce) {
    const char* const present[] = {"GetFileVersionInfoSizeW", "VerQueryValueW"};
    FARPROC presentProcs[2] = {};
    SgSystemLibrary version = SG_SYSTEM_LIBRARY("version.dll", present, presentProcs);
    DWORD error = 1;
    ASSERT_TRUE(SgLoadSystemLibrary(&version, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    HMODULE module = GetModuleHandleW(L"version.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(presentProcs[0], GetProcAddress(module, "GetFileVersionInfoSizeW"));
    EXPECT_EQ(presentProcs[1], GetProcAddress(module, "VerQueryValueW"));

    nvx_test::ClearLog();
    const char* const oneMissing[] = {"GetFileVersionInfoSizeW", "NvxNoSuchExport", "VerQueryValueW"};
    FARPROC missingProcs[3] = {};
    SgSystemLibrary partial = SG_SYSTEM_LIBRARY("version.dll", oneMissing, missingProcs);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(SgLoadSystemLibrary(&partial, &error));
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
        for (FARPROC proc : missingProcs) EXPECT_EQ(proc, nullptr);
    }
    std::vector<nvx_test::LogLine> log = nvx_test::TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(nvx_test::CountLines(log, SG_FAC_INIT, SG_LVL_ERROR, "version.dll has no export NvxNoSuchExport"), 1);

    const char* const any[] = {"Anything"};
    FARPROC anyProcs[1] = {};
    SgSystemLibrary absent = SG_SYSTEM_LIBRARY("nvx-no-such-library.dll", any, anyProcs);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(SgLoadSystemLibrary(&absent, &error));
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    }
    log = nvx_test::TakeLog();
    EXPECT_EQ(nvx_test::CountLines(log, SG_FAC_INIT, SG_LVL_ERROR,
                                   "Unable to load nvx-no-such-library.dll from System32: 126"),
              1);
    EXPECT_EQ(log.size(), 1u);
}
