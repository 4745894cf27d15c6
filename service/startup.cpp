#include "service/startup.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/memory.h"
#include "runtime/os_paths.h"
#include "runtime/os_symbols.h"
#include "runtime/path_names.h"
#include "service/exit_codes.h"
#include "service/fault_injection.h"
#include "service/lifecycle.h"
#include "service/service_control.h"

uint32_t ExitCode = kExitOk;
SgStartedFlags Started = {};

namespace {

constexpr DWORD kScManagerAccess = 0x20015;  // connect, enumerate, query lock status, read control
constexpr DWORD kServiceAccess = 0xF01FF;    // all access

SC_HANDLE gScManager = nullptr;
SC_HANDLE gService = nullptr;

// Start-up information kept for the life of the process.
char gComputerName[256];
DWORD gProcessId = 0;
char gProcessIdText[16];
char gExeDirectory[260];
char gExeBaseName[260];

// False when the privilege could not be enabled; start-up then ends with ExitCode as it is.
bool EnableDebugPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Unable to open process token: %u",
                     static_cast<unsigned>(GetLastError()));
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "LookupPrivilegeValue error: %u",
                     static_cast<unsigned>(GetLastError()));
        CloseHandle(token);
        return false;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = false;
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr)) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "AdjustTokenPrivileges error: %u",
                     static_cast<unsigned>(GetLastError()));
    } else if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Administrator privileges not available!");
    } else {
        enabled = true;
    }
    CloseHandle(token);
    return enabled;
}

// Opens the manager and the service's own entry and checks that the SCM is starting
// us. False (with ExitCode set) when start-up must end here.
bool CheckServiceControlManager() {
    gScManager = SgOpenSCManagerA(nullptr, nullptr, kScManagerAccess);
    if (gScManager == nullptr) {
        ExitCode = kExitNoServiceManager;
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "ERROR: Could not access service controller!");
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Must be run with administrator privileges!");
        return false;
    }
    gService = SgOpenServiceA(gScManager, kServiceName, kServiceAccess);
    if (gService == nullptr) {
        ExitCode = kExitNoServiceEntry;
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "ERROR: Could not access service %s", kServiceName);
        return false;
    }
    SERVICE_STATUS status{};
    bool queried = SgQueryServiceStatus(gService, &status) != FALSE;
    if (!queried) SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "ERROR: Could not get status of %s", kServiceName);
    if (!queried || status.dwCurrentState != SERVICE_START_PENDING) {
        ExitCode = kExitNotStartPending;
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "ERROR: Use the service controller to start the service!");
        return false;
    }
    return true;
}

[[noreturn]] void ExitStep() {
    if (gService != nullptr && SgCloseServiceHandle != nullptr) SgCloseServiceHandle(gService);
    if (gScManager != nullptr && SgCloseServiceHandle != nullptr) SgCloseServiceHandle(gScManager);
    gService = nullptr;
    gScManager = nullptr;
    // A step that fails once the log thread writes the log has its lines still in the debug
    // buffer, which ExitProcess would throw away with the thread: the log is ended first, as the
    // shutdown ends it (after a run the shutdown has done so already; before the thread there is
    // no log file to write).
    if (SgDebugThreadExists()) {
        SgDebugStopThread();
        if (Started.debugStarted) {
            Started.debugStarted = 0;
            SgDebugShutdown();
        }
    }
    fflush(stdout);
    ExitProcess(ExitCode);
}

}  // namespace

bool LogStartupBanner(const char* argv0) {
    char fullPath[261];
    DWORD n = GetFullPathNameA(argv0 != nullptr ? argv0 : "", sizeof(fullPath), fullPath, nullptr);
    if (n == 0 || n >= sizeof(fullPath)) return false;
    char drive[3], directory[256], fileName[256], extension[256];
    if (_splitpath_s(fullPath, drive, sizeof(drive), directory, sizeof(directory), fileName, sizeof(fileName),
                     extension, sizeof(extension)) != 0) {
        return false;
    }
    if (strlen(drive) + strlen(directory) > 259) return false;
    snprintf(gExeDirectory, sizeof(gExeDirectory), "%s%s", drive, directory);
    snprintf(gExeBaseName, sizeof(gExeBaseName), "%s", fileName);

    DWORD size = 255;
    if (!GetComputerNameA(gComputerName, &size)) return false;

    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    WORD arch = info.wProcessorArchitecture;
    SgIs64BitKernel = arch == PROCESSOR_ARCHITECTURE_AMD64 || arch == PROCESSOR_ARCHITECTURE_IA64 ||
                      arch == PROCESSOR_ARCHITECTURE_ARM64;

    gProcessId = GetCurrentProcessId();
    snprintf(gProcessIdText, sizeof(gProcessIdText), "%lu", static_cast<unsigned long>(gProcessId));

    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "Service Starting...");
    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "Version: %s %s", kFileVersionText, kVersionSuffix);
    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "SysInfo: %s PID %s", gComputerName, gProcessIdText);
    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "  64Bit Kernel: %d", SgIs64BitKernel ? 1 : 0);
    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "  Dirname: %s", gExeDirectory);
    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "  Basename: %s", gExeBaseName);
    return true;
}

void RunStartupSequence(const char* argv0) {
    SgDebugReadSettings();
    LogStartupBanner(argv0);
    ApplyFaultInjection();

    if (!SgDebugInit()) {
        ExitCode = kExitDebugLogFailed;
        ExitStep();
    }
    Started.debugStarted = 1;

    if (!SgInitOsSymbols()) {
        ExitCode = kExitOsSymbolsFailed;
        ExitStep();
    }

    if (!SgInitMemory()) {
        ExitCode = kExitMemoryFailed;
        ExitStep();
    }
    Started.poolStarted = 1;

    if (!SgInitPathManagement()) {
        ExitCode = kExitPathsFailed;
        ExitStep();
    }
    Started.pathsStarted = 1;

    SgDebugPrint(SG_FAC_SYS, SG_LVL_DEBUG, "Complete debug startup...");
    if (!SgDebugThreadExists()) SgDebugStartThread();

    if (!EnableDebugPrivilege()) ExitStep();
    if (!CheckServiceControlManager()) ExitStep();

    // The dispatcher returns once ServiceMain has reported the stopped state.
    char serviceName[sizeof(kServiceName)];
    memcpy(serviceName, kServiceName, sizeof(kServiceName));
    SERVICE_TABLE_ENTRYA table[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
    if (!SgStartServiceCtrlDispatcherA(table)) {
        ExitCode = kExitDispatcherFailed;
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "ERROR: Could not start as a service!");
    }
    ExitStep();
}
