#include "service/service_control.h"

#include "comms/async_channel.h"
#include "journals/event_journals.h"
#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/os_symbols.h"
#include "runtime/threads.h"
#include "service/exit_codes.h"
#include "service/lifecycle.h"
#include "service/subsystems.h"
#include "watchers/os_notifications.h"

namespace {

constexpr DWORD kWaitHintMs = 10000;
constexpr DWORD kAcceptStopAndShutdown = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// A call to the SCM that fails is made again, at most kScmAttempts times kScmRetryMs apart: a
// lost status report leaves the SCM holding a state the service has left (start pending for
// ever, or a stop it never learns of, after which the dispatcher never returns), and without
// the control handler nothing can be reported at all. The whole retry stays well inside the
// wait hint of the pending state.
constexpr int kScmAttempts = 5;
constexpr DWORD kScmRetryMs = 100;

// The status record is written by the control handler (main thread) and by ServiceMain
// (service thread); the lock keeps every report a consistent whole record.
INIT_ONCE gStatusOnce = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION gStatusLock;
SERVICE_STATUS gStatus = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;

// Set once a stop was asked for, by the SCM or a console event. ServiceMain reads it
// before it hands the run flag to the main loop, so a stop that arrives while the
// threads are being started is not overwritten.
volatile LONG gStopRequested = 0;

// The attempt at which call() succeeded (1 = the first), or 0 when every attempt failed;
// *firstError is the last error of the first failure.
template <typename Call>
int CallScmWithRetry(Call call, DWORD* firstError) {
    for (int attempt = 1; attempt <= kScmAttempts; ++attempt) {
        if (call()) return attempt;
        if (attempt == 1) *firstError = GetLastError();
        if (attempt < kScmAttempts) Sleep(kScmRetryMs);
    }
    return 0;
}

BOOL CALLBACK InitStatusLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&gStatusLock);
    return TRUE;
}

void LockStatus() {
    InitOnceExecuteOnce(&gStatusOnce, InitStatusLock, nullptr, nullptr);
    EnterCriticalSection(&gStatusLock);
}

// Reports the whole record; the exit code is always the current ExitCode. Called with
// the status lock held, which also keeps a retry from being overtaken by a newer record.
// A report that failed is logged once: made at a later attempt, or given up. False when
// the SCM did not take the record.
bool ReportLocked() {
    gStatus.dwWin32ExitCode = ExitCode;
    gStatus.dwServiceSpecificExitCode = 0;
    SgDebugPrint(SG_FAC_SYS, SG_LVL_DEBUG, "Service status %lu checkpoint %lu wait hint %lu exit code 0x%08lX",
                 gStatus.dwCurrentState, gStatus.dwCheckPoint, gStatus.dwWaitHint, gStatus.dwWin32ExitCode);
    if (gStatusHandle == nullptr || SgSetServiceStatus == nullptr) return false;
    DWORD firstError = 0;
    int attempt = CallScmWithRetry([] { return SgSetServiceStatus(gStatusHandle, &gStatus) != FALSE; }, &firstError);
    if (attempt == 0) {
        SgDebugPrint(SG_FAC_SYS, SG_LVL_ERROR, "Unable to report service status %lu, error %lu after %d attempts",
                     gStatus.dwCurrentState, firstError, kScmAttempts);
        return false;
    }
    if (attempt > 1) {
        SgDebugPrint(SG_FAC_SYS, SG_LVL_WARNING, "Service status %lu reported at attempt %d, after error %lu",
                     gStatus.dwCurrentState, attempt, firstError);
    }
    return true;
}

bool SetAndReport(DWORD state, DWORD accepted, DWORD checkpoint, DWORD waitHint) {
    LockStatus();
    gStatus.dwCurrentState = state;
    gStatus.dwControlsAccepted = accepted;
    gStatus.dwCheckPoint = checkpoint;
    gStatus.dwWaitHint = waitHint;
    bool reported = ReportLocked();
    LeaveCriticalSection(&gStatusLock);
    return reported;
}

// The control handler's registration, made again when it fails; null when every attempt
// failed (logged).
SERVICE_STATUS_HANDLE RegisterControlHandler() {
    SERVICE_STATUS_HANDLE handle = nullptr;
    DWORD firstError = 0;
    int attempt = CallScmWithRetry(
        [&handle] {
            if (SgRegisterServiceCtrlHandlerExA != nullptr) {
                handle = SgRegisterServiceCtrlHandlerExA(kServiceName, ServiceCtrlHandlerEx, nullptr);
            } else {
                handle = SgRegisterServiceCtrlHandlerA(kServiceName, ServiceCtrlHandler);
            }
            return handle != nullptr;
        },
        &firstError);
    if (attempt == 0) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "ERROR: Unable to register the service control handler, error %lu",
                     firstError);
    } else if (attempt > 1) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_WARNING, "Service control handler registered at attempt %d, after error %lu",
                     attempt, firstError);
    }
    return handle;
}

void ReportCurrent() {
    LockStatus();
    ReportLocked();
    LeaveCriticalSection(&gStatusLock);
}

void RequestStop() {
    InterlockedExchange(&gStopRequested, 1);
    SgStopThread(MainLoopThread);
}

// The stop is requested while the status lock is held and after checkpoint 1 has been
// reported: the woken main loop reports checkpoint 2 only after it, never before.
void HandleStopControl() {
    LockStatus();
    gStatus.dwCurrentState = SERVICE_STOP_PENDING;
    gStatus.dwCheckPoint = 1;
    gStatus.dwWaitHint = kWaitHintMs;
    ReportLocked();
    RequestStop();
    LeaveCriticalSection(&gStatusLock);
}

}  // namespace

DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            HandleStopControl();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            ReportCurrent();
            return NO_ERROR;
        default:
            ReportCurrent();
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        HandleStopControl();
    } else {
        ReportCurrent();
    }
}

BOOL WINAPI ConsoleCtrlHandler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            RequestStop();
            return TRUE;
        default:
            return FALSE;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    if (!SgSetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE)) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "ERROR: Unable to register handler for ctrl-c 0x%08X",
                     static_cast<unsigned>(GetLastError()));
    }

    LockStatus();
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = SERVICE_START_PENDING;
    gStatus.dwCheckPoint = 1;
    gStatus.dwWaitHint = kWaitHintMs;
    LeaveCriticalSection(&gStatusLock);

    SERVICE_STATUS_HANDLE handle = RegisterControlHandler();
    if (handle == nullptr) {
        // Without the handler no state can be reported, so the dispatcher, which returns once
        // the stopped state was reported, would never return: the process ends here, after
        // the shutdown of what start-up brought up.
        ExitCode = kExitControlHandlerFailed;
        ShutdownService();
        ExitProcess(ExitCode);
    }
    LockStatus();
    gStatusHandle = handle;
    LeaveCriticalSection(&gStatusLock);

    if (InitSubsystems()) {
        SetAndReport(SERVICE_START_PENDING, kAcceptStopAndShutdown, 2, kWaitHintMs);

        // Worker threads, in this order, each failing start-up with its own code: the
        // communications thread (only with the driver connected), then the OS notification
        // and event-journal threads.
        bool threadsStarted = true;
        if (Started.driverConnected && !SgStartCommsThread()) {
            ExitCode = kExitCommsThreadFailed;
            threadsStarted = false;
        }
        if (threadsStarted && !StartOsNotificationThread()) {
            ExitCode = kExitOsNotificationThreadFailed;
            threadsStarted = false;
        }
        if (threadsStarted && !StartEventJournalThread()) {
            ExitCode = kExitEventJournalThreadFailed;
            threadsStarted = false;
        }

        // RUNNING is reported only when no stop came before it, decided under the status lock that
        // the stop control holds while it reports STOP_PENDING and requests the stop: a stop never
        // sees its STOP_PENDING followed by RUNNING, and a stop after the report clears the run
        // flag set here.
        LockStatus();
        const bool run = threadsStarted && InterlockedCompareExchange(&gStopRequested, 0, 0) == 0;
        if (run) {
            gStatus.dwCurrentState = SERVICE_RUNNING;
            gStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
            gStatus.dwCheckPoint = 0;
            gStatus.dwWaitHint = 0;
            ReportLocked();
            SgThreadSetRunning(MainLoopThread);
        }
        LeaveCriticalSection(&gStatusLock);
        if (run) {
            // A console event requests the stop without the status lock: seen here at the latest.
            if (InterlockedCompareExchange(&gStopRequested, 0, 0) != 0) SgStopThread(MainLoopThread);
            RunMainLoop(nullptr);
        }
    }

    LockStatus();
    gStatus.dwCurrentState = SERVICE_STOP_PENDING;
    gStatus.dwCheckPoint = 2;
    gStatus.dwWaitHint = kWaitHintMs;
    ReportLocked();
    LeaveCriticalSection(&gStatusLock);
    ShutdownService();
    // The dispatcher returns only once the SCM has taken the stopped state. When it never
    // does, the process ends here with the exit code; the log was closed by the shutdown, so
    // this last failure is seen by the SCM as the end of the process without that report.
    if (!SetAndReport(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0)) ExitProcess(ExitCode);
}
