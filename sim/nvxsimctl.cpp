// nvxsimctl: the simulated machine's service-control tool, run inside the machine.
//
//   nvxsimctl start NAME [timeoutMs]
//   nvxsimctl startstop NAME [timeoutMs]
//   nvxsimctl control NAME stop|pause|continue|interrogate|<number> [timeoutMs]
//   nvxsimctl query NAME
//   nvxsimctl hold EVENT
//   nvxsimctl release EVENT
//   nvxsimctl readhold FILE EVENT [rwd]
//   nvxsimctl rename FROM TO
//
// Every line is machine-readable: a keyword, then key=value fields (a state also has its
// name as a bare word). t_ms is the time since the request was made, so start and stop
// times are measured inside the machine, free of the host's process start-up costs.
//
//   START result=1 error=0 t_ms=0.412
//   CONTROL code=1 result=1 error=0 t_ms=0.350
//   STATUS state=4 RUNNING checkpoint=0 wait_hint=0 exit_code=0x00000000 accepted=0x1 source=poll t_ms=71.030
//   ERROR op=start error=1056 name=ERROR_SERVICE_ALREADY_RUNNING
//   TIMEOUT op=start t_ms=30000.102
//   READHOLD event=nvxsim-reader pid=412 share=rwd bytes=5321
//   READ bytes=9876
//   RENAME result=1 error=0
//
// The exit code is 0 on success and the Win32 error otherwise (1053 when a wait timed out).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/simsupport.h"

namespace {

constexpr DWORD kDefaultTimeoutMs = 30000;
constexpr DWORD kServiceAccess = SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                                 SERVICE_QUERY_STATUS | SERVICE_USER_DEFINED_CONTROL;

LARGE_INTEGER gFrequency;
LARGE_INTEGER gOrigin;

void ResetClock() {
    QueryPerformanceFrequency(&gFrequency);
    QueryPerformanceCounter(&gOrigin);
}

double ElapsedMs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - gOrigin.QuadPart) * 1000.0 / static_cast<double>(gFrequency.QuadPart);
}

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "STOPPED";
        case SERVICE_START_PENDING:
            return "START_PENDING";
        case SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case SERVICE_RUNNING:
            return "RUNNING";
        case SERVICE_CONTINUE_PENDING:
            return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING:
            return "PAUSE_PENDING";
        case SERVICE_PAUSED:
            return "PAUSED";
        default:
            return "UNKNOWN";
    }
}

const char* ErrorName(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
            return "ERROR_SUCCESS";
        case ERROR_FILE_NOT_FOUND:
            return "ERROR_FILE_NOT_FOUND";
        case ERROR_ACCESS_DENIED:
            return "ERROR_ACCESS_DENIED";
        case ERROR_INVALID_HANDLE:
            return "ERROR_INVALID_HANDLE";
        case ERROR_INVALID_PARAMETER:
            return "ERROR_INVALID_PARAMETER";
        case ERROR_CALL_NOT_IMPLEMENTED:
            return "ERROR_CALL_NOT_IMPLEMENTED";
        case ERROR_INVALID_NAME:
            return "ERROR_INVALID_NAME";
        case ERROR_ALREADY_EXISTS:
            return "ERROR_ALREADY_EXISTS";
        case ERROR_DEPENDENT_SERVICES_RUNNING:
            return "ERROR_DEPENDENT_SERVICES_RUNNING";
        case ERROR_INVALID_SERVICE_CONTROL:
            return "ERROR_INVALID_SERVICE_CONTROL";
        case ERROR_SERVICE_REQUEST_TIMEOUT:
            return "ERROR_SERVICE_REQUEST_TIMEOUT";
        case ERROR_SERVICE_NO_THREAD:
            return "ERROR_SERVICE_NO_THREAD";
        case ERROR_SERVICE_DATABASE_LOCKED:
            return "ERROR_SERVICE_DATABASE_LOCKED";
        case ERROR_SERVICE_ALREADY_RUNNING:
            return "ERROR_SERVICE_ALREADY_RUNNING";
        case ERROR_SERVICE_DISABLED:
            return "ERROR_SERVICE_DISABLED";
        case ERROR_SERVICE_DOES_NOT_EXIST:
            return "ERROR_SERVICE_DOES_NOT_EXIST";
        case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
            return "ERROR_SERVICE_CANNOT_ACCEPT_CTRL";
        case ERROR_SERVICE_NOT_ACTIVE:
            return "ERROR_SERVICE_NOT_ACTIVE";
        case ERROR_EXCEPTION_IN_SERVICE:
            return "ERROR_EXCEPTION_IN_SERVICE";
        case ERROR_PROCESS_ABORTED:
            return "ERROR_PROCESS_ABORTED";
        case ERROR_SERVICE_SPECIFIC_ERROR:
            return "ERROR_SERVICE_SPECIFIC_ERROR";
        case ERROR_SERVICE_LOGON_FAILED:
            return "ERROR_SERVICE_LOGON_FAILED";
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            return "ERROR_SERVICE_MARKED_FOR_DELETE";
        case ERROR_SERVICE_EXISTS:
            return "ERROR_SERVICE_EXISTS";
        case ERROR_SERVICE_NEVER_STARTED:
            return "ERROR_SERVICE_NEVER_STARTED";
        case ERROR_TIMEOUT:
            return "ERROR_TIMEOUT";
        default:
            return "-";
    }
}

int Fail(const char* op, DWORD error) {
    nvxsim::PrintLine("ERROR op=%s error=%lu name=%s", op, static_cast<unsigned long>(error), ErrorName(error));
    return static_cast<int>(error);
}

void PrintStatus(const SERVICE_STATUS& s, const char* source) {
    nvxsim::PrintLine(
        "STATUS state=%lu %s checkpoint=%lu wait_hint=%lu exit_code=0x%08lX accepted=0x%lX specific=0x%08lX "
        "source=%s t_ms=%.3f",
        static_cast<unsigned long>(s.dwCurrentState), StateName(s.dwCurrentState),
        static_cast<unsigned long>(s.dwCheckPoint), static_cast<unsigned long>(s.dwWaitHint),
        static_cast<unsigned long>(s.dwWin32ExitCode), static_cast<unsigned long>(s.dwControlsAccepted),
        static_cast<unsigned long>(s.dwServiceSpecificExitCode), source, ElapsedMs());
}

// A control code or a timeout: a whole number of at most 32 bits.
bool ParseDword(const char* text, DWORD* value) {
    uint64_t v;
    if (text == nullptr || !nvxsim::ParseNumber(text, &v) || v > 0xFFFFFFFFu) return false;
    *value = static_cast<DWORD>(v);
    return true;
}

// Owns the manager and service handles of one command.
struct ServiceHandles {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    ~ServiceHandles() {
        if (service != nullptr) CloseServiceHandle(service);
        if (manager != nullptr) CloseServiceHandle(manager);
    }
};

DWORD OpenNamedService(const char* name, ServiceHandles* h) {
    h->manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (h->manager == nullptr) return GetLastError();
    h->service = OpenServiceA(h->manager, name, kServiceAccess);
    if (h->service == nullptr) return GetLastError();
    return ERROR_SUCCESS;
}

enum class WaitOutcome { Reached, Stopped, TimedOut, QueryFailed };

// Polls as fast as the SCM answers and prints every status that differs from the last
// one printed, until the service is in `target` or STOPPED, or the time is up.
WaitOutcome PollUntil(SC_HANDLE service, DWORD target, DWORD timeoutMs, const SERVICE_STATUS* alreadyPrinted,
                      SERVICE_STATUS* last, DWORD* queryError) {
    SERVICE_STATUS previous{};
    bool havePrevious = alreadyPrinted != nullptr;
    if (havePrevious) previous = *alreadyPrinted;
    for (;;) {
        SERVICE_STATUS s{};
        if (!QueryServiceStatus(service, &s)) {
            *queryError = GetLastError();
            return WaitOutcome::QueryFailed;
        }
        if (!havePrevious || memcmp(&s, &previous, sizeof(s)) != 0) {
            PrintStatus(s, "poll");
            previous = s;
            havePrevious = true;
        }
        *last = s;
        if (s.dwCurrentState == target) return WaitOutcome::Reached;
        if (s.dwCurrentState == SERVICE_STOPPED) return WaitOutcome::Stopped;
        if (ElapsedMs() >= timeoutMs) return WaitOutcome::TimedOut;
    }
}

int ReportWait(const char* op, WaitOutcome outcome, const SERVICE_STATUS& last, DWORD queryError) {
    switch (outcome) {
        case WaitOutcome::Reached:
            return 0;
        case WaitOutcome::QueryFailed:
            return Fail("query", queryError);
        case WaitOutcome::TimedOut:
            nvxsim::PrintLine("TIMEOUT op=%s state=%lu %s t_ms=%.3f", op,
                              static_cast<unsigned long>(last.dwCurrentState), StateName(last.dwCurrentState),
                              ElapsedMs());
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        case WaitOutcome::Stopped:
            // A start that ended in STOPPED failed: its own exit code says why when it set one.
            return Fail(op, last.dwWin32ExitCode != 0 ? last.dwWin32ExitCode : ERROR_PROCESS_ABORTED);
    }
    return ERROR_INVALID_PARAMETER;
}

// Shared by a start's two pollers. Wine's StartServiceA returns only once the service has
// left START_PENDING, so a second thread watches the status while the call is in progress.
struct StartWatch {
    SC_HANDLE service = nullptr;
    CRITICAL_SECTION lock;
    SERVICE_STATUS lastPrinted{};
    bool printedAny = false;  // whether a status was printed since the request
    volatile LONG done = 0;
};

// Prints s when it differs from the last status printed. Called by both pollers.
void PrintIfNew(StartWatch* w, const SERVICE_STATUS& s) {
    EnterCriticalSection(&w->lock);
    if (memcmp(&s, &w->lastPrinted, sizeof(s)) != 0) {
        PrintStatus(s, "poll");
        w->lastPrinted = s;
        w->printedAny = true;
    }
    LeaveCriticalSection(&w->lock);
}

DWORD WINAPI WatchDuringStart(LPVOID param) {
    auto* w = static_cast<StartWatch*>(param);
    while (InterlockedCompareExchange(&w->done, 0, 0) == 0) {
        SERVICE_STATUS s{};
        if (!QueryServiceStatus(w->service, &s)) break;
        PrintIfNew(w, s);
    }
    return 0;
}

int CmdStart(const char* name, DWORD timeoutMs) {
    ServiceHandles h;
    if (DWORD e = OpenNamedService(name, &h)) return Fail("open", e);
    StartWatch watch;
    watch.service = h.service;
    InitializeCriticalSection(&watch.lock);
    // The status before the request is not printed: only what the start changes is.
    if (!QueryServiceStatus(h.service, &watch.lastPrinted)) return Fail("query", GetLastError());
    HANDLE watcher = CreateThread(nullptr, 0, WatchDuringStart, &watch, 0, nullptr);
    ResetClock();
    BOOL ok = StartServiceA(h.service, 0, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    InterlockedExchange(&watch.done, 1);
    if (watcher != nullptr) {
        WaitForSingleObject(watcher, INFINITE);
        CloseHandle(watcher);
    }
    nvxsim::PrintLine("START result=%d error=%lu t_ms=%.3f", ok ? 1 : 0, static_cast<unsigned long>(error),
                      ElapsedMs());
    if (!ok) return Fail("start", error);
    SERVICE_STATUS last{};
    DWORD queryError = 0;
    // A start that succeeded always prints the state it reached. After a killed process Wine's
    // SCM may still report the old RUNNING when the request is made, and a start that passes
    // through START_PENDING faster than the watcher polls ends in a record identical to it.
    const SERVICE_STATUS* printed = watch.printedAny ? &watch.lastPrinted : nullptr;
    WaitOutcome outcome = PollUntil(h.service, SERVICE_RUNNING, timeoutMs, printed, &last, &queryError);
    return ReportWait("start", outcome, last, queryError);
}

bool ControlCode(const char* word, DWORD* code) {
    if (strcmp(word, "stop") == 0) {
        *code = SERVICE_CONTROL_STOP;
    } else if (strcmp(word, "pause") == 0) {
        *code = SERVICE_CONTROL_PAUSE;
    } else if (strcmp(word, "continue") == 0) {
        *code = SERVICE_CONTROL_CONTINUE;
    } else if (strcmp(word, "interrogate") == 0) {
        *code = SERVICE_CONTROL_INTERROGATE;
    } else {
        return ParseDword(word, code);
    }
    return true;
}

int CmdControl(const char* name, DWORD code, DWORD timeoutMs) {
    ServiceHandles h;
    if (DWORD e = OpenNamedService(name, &h)) return Fail("open", e);
    // Windows fills the record on success and for some errors. Wine 8.0 writes an
    // uninitialised record when its SCM refuses a control (1052), so only a record with a
    // valid state is shown; the marker catches a call that writes nothing at all.
    SERVICE_STATUS returned;
    memset(&returned, 0xFF, sizeof(returned));
    ResetClock();
    BOOL ok = ControlService(h.service, code, &returned);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    nvxsim::PrintLine("CONTROL code=%lu result=%d error=%lu t_ms=%.3f", static_cast<unsigned long>(code), ok ? 1 : 0,
                      static_cast<unsigned long>(error), ElapsedMs());
    if (returned.dwCurrentState < SERVICE_STOPPED || returned.dwCurrentState > SERVICE_PAUSED) {
        nvxsim::PrintLine("STATUS none source=control");
    } else {
        PrintStatus(returned, "control");
    }
    if (!ok) return Fail("control", error);
    if (code != SERVICE_CONTROL_STOP) return 0;
    SERVICE_STATUS last{};
    DWORD queryError = 0;
    WaitOutcome outcome = PollUntil(h.service, SERVICE_STOPPED, timeoutMs, &returned, &last, &queryError);
    if (outcome == WaitOutcome::Stopped) outcome = WaitOutcome::Reached;
    return ReportWait("stop", outcome, last, queryError);
}

struct StartCall {
    SC_HANDLE service = nullptr;
    BOOL ok = FALSE;
    DWORD error = ERROR_SUCCESS;
};

DWORD WINAPI CallStart(LPVOID param) {
    auto* call = static_cast<StartCall*>(param);
    call->ok = StartServiceA(call->service, 0, nullptr);
    call->error = call->ok ? ERROR_SUCCESS : GetLastError();
    return 0;
}

// A stop that follows a start at once: the start is requested on a thread of its own (Wine's
// StartServiceA returns only once the service has left START_PENDING) and the stop is sent again
// and again until the SCM takes it, which it does as soon as the service accepts stops. The
// clock starts again at each try, so the statuses' t_ms count from the stop that was taken; the
// status that ControlService returned says in which state it met the service.
int CmdStartStop(const char* name, DWORD timeoutMs) {
    ServiceHandles h;
    if (DWORD e = OpenNamedService(name, &h)) return Fail("open", e);
    StartCall call;
    call.service = h.service;
    HANDLE starter = CreateThread(nullptr, 0, CallStart, &call, 0, nullptr);
    if (starter == nullptr) return Fail("start", GetLastError());
    const ULONGLONG giveUp = GetTickCount64() + timeoutMs;
    SERVICE_STATUS returned;
    BOOL ok = FALSE;
    DWORD error = ERROR_SUCCESS;
    unsigned long tries = 0;
    for (;;) {
        memset(&returned, 0xFF, sizeof(returned));
        ResetClock();
        ++tries;
        ok = ControlService(h.service, SERVICE_CONTROL_STOP, &returned);
        error = ok ? ERROR_SUCCESS : GetLastError();
        if (ok) break;
        // Not started yet, or not accepting stops yet: anything else ends the tries.
        if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) break;
        if (GetTickCount64() >= giveUp) break;
        if (WaitForSingleObject(starter, 0) == WAIT_OBJECT_0 && !call.ok) break;
    }
    nvxsim::PrintLine("CONTROL code=%lu result=%d error=%lu tries=%lu t_ms=%.3f",
                      static_cast<unsigned long>(SERVICE_CONTROL_STOP), ok ? 1 : 0, static_cast<unsigned long>(error),
                      tries, ElapsedMs());
    if (ok) PrintStatus(returned, "control");
    SERVICE_STATUS last{};
    DWORD queryError = 0;
    WaitOutcome outcome = WaitOutcome::Reached;
    if (ok) outcome = PollUntil(h.service, SERVICE_STOPPED, timeoutMs, &returned, &last, &queryError);
    WaitForSingleObject(starter, INFINITE);
    CloseHandle(starter);
    nvxsim::PrintLine("START result=%d error=%lu", call.ok ? 1 : 0, static_cast<unsigned long>(call.error));
    if (!ok) return Fail("control", error);
    if (outcome == WaitOutcome::Stopped) outcome = WaitOutcome::Reached;
    return ReportWait("stop", outcome, last, queryError);
}

int CmdQuery(const char* name) {
    ServiceHandles h;
    if (DWORD e = OpenNamedService(name, &h)) return Fail("open", e);
    ResetClock();
    SERVICE_STATUS s{};
    if (!QueryServiceStatus(h.service, &s)) return Fail("query", GetLastError());
    PrintStatus(s, "query");
    return 0;
}

// An ordinary process of the machine that stays until released, so the Wine session
// (and with it a running service) is never left without a user process.
int CmdHold(const char* eventName) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, eventName);
    if (event == nullptr) return Fail("hold", GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(event);
        return Fail("hold", ERROR_ALREADY_EXISTS);
    }
    nvxsim::PrintLine("HOLD event=%s pid=%lu", eventName, static_cast<unsigned long>(GetCurrentProcessId()));
    DWORD rc = WaitForSingleObject(event, INFINITE);
    CloseHandle(event);
    if (rc != WAIT_OBJECT_0) return Fail("hold", GetLastError());
    nvxsim::PrintLine("RELEASED event=%s", eventName);
    return 0;
}

int CmdRelease(const char* eventName) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
    if (event == nullptr) return Fail("release", GetLastError());
    BOOL ok = SetEvent(event);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(event);
    if (!ok) return Fail("release", error);
    nvxsim::PrintLine("RELEASE event=%s", eventName);
    return 0;
}

// Share letters r, w, d -> FILE_SHARE_* bits; false for any other character.
bool ParseShare(const char* text, DWORD* share) {
    DWORD bits = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        switch (*c) {
            case 'r':
                bits |= FILE_SHARE_READ;
                break;
            case 'w':
                bits |= FILE_SHARE_WRITE;
                break;
            case 'd':
                bits |= FILE_SHARE_DELETE;
                break;
            default:
                return false;
        }
    }
    *share = bits;
    return true;
}

// Reads from the handle's start to its end; false when a read fails.
bool CountReadableBytes(HANDLE file, unsigned long long* total) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    static char block[65536];
    *total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, block, sizeof(block), &got, nullptr)) return false;
        if (got == 0) return true;
        *total += got;
    }
}

// A reader of another process: opens FILE for reading with the given sharing, reads it
// once, holds it open until EVENT is set, then reads it again through the same handle
// (which follows the file if it was renamed meanwhile).
int CmdReadHold(const char* path, const char* eventName, DWORD share) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, eventName);
    if (event == nullptr) return Fail("readhold", GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(event);
        return Fail("readhold", ERROR_ALREADY_EXISTS);
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        CloseHandle(event);
        return Fail("open", error);
    }
    unsigned long long bytes = 0;
    if (!CountReadableBytes(file, &bytes)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        CloseHandle(event);
        return Fail("read", error);
    }
    nvxsim::PrintLine("READHOLD event=%s pid=%lu share=%s%s%s%s bytes=%llu", eventName,
                      static_cast<unsigned long>(GetCurrentProcessId()), (share & FILE_SHARE_READ) ? "r" : "",
                      (share & FILE_SHARE_WRITE) ? "w" : "", (share & FILE_SHARE_DELETE) ? "d" : "",
                      share == 0 ? "-" : "", bytes);
    DWORD rc = WaitForSingleObject(event, INFINITE);
    DWORD error = rc == WAIT_OBJECT_0 ? ERROR_SUCCESS : GetLastError();
    CloseHandle(event);
    if (rc == WAIT_OBJECT_0 && !CountReadableBytes(file, &bytes)) error = GetLastError();
    CloseHandle(file);
    if (rc != WAIT_OBJECT_0) return Fail("readhold", error);
    if (error != ERROR_SUCCESS) return Fail("read", error);
    nvxsim::PrintLine("READ bytes=%llu", bytes);
    return 0;
}

// Renames (moves) a file the way Windows programs do, replacing an existing target.
int CmdRename(const char* from, const char* to) {
    BOOL ok = MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    nvxsim::PrintLine("RENAME result=%d error=%lu", ok ? 1 : 0, static_cast<unsigned long>(error));
    return ok ? 0 : Fail("rename", error);
}

int Usage() {
    nvxsim::PrintLine("usage: nvxsimctl start NAME [timeoutMs]");
    nvxsim::PrintLine("       nvxsimctl startstop NAME [timeoutMs]");
    nvxsim::PrintLine("       nvxsimctl control NAME stop|pause|continue|interrogate|<code> [timeoutMs]");
    nvxsim::PrintLine("       nvxsimctl query NAME");
    nvxsim::PrintLine("       nvxsimctl hold EVENT");
    nvxsim::PrintLine("       nvxsimctl release EVENT");
    nvxsim::PrintLine("       nvxsimctl readhold FILE EVENT [rwd]");
    nvxsim::PrintLine("       nvxsimctl rename FROM TO");
    return ERROR_INVALID_PARAMETER;
}

}  // namespace

int main(int argc, char** argv) {
    ResetClock();
    if (argc < 3) return Usage();
    const char* command = argv[1];
    DWORD timeoutMs = kDefaultTimeoutMs;

    if (strcmp(command, "start") == 0) {
        if (argc > 4 || (argc == 4 && !ParseDword(argv[3], &timeoutMs))) return Usage();
        return CmdStart(argv[2], timeoutMs);
    }
    if (strcmp(command, "startstop") == 0) {
        if (argc > 4 || (argc == 4 && !ParseDword(argv[3], &timeoutMs))) return Usage();
        return CmdStartStop(argv[2], timeoutMs);
    }
    if (strcmp(command, "control") == 0) {
        DWORD code = 0;
        if (argc < 4 || argc > 5 || !ControlCode(argv[3], &code)) return Usage();
        if (argc == 5 && !ParseDword(argv[4], &timeoutMs)) return Usage();
        return CmdControl(argv[2], code, timeoutMs);
    }
    if (strcmp(command, "readhold") == 0) {
        DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        if (argc < 4 || argc > 5 || (argc == 5 && !ParseShare(argv[4], &share))) return Usage();
        return CmdReadHold(argv[2], argv[3], share);
    }
    if (strcmp(command, "rename") == 0) {
        if (argc != 4) return Usage();
        return CmdRename(argv[2], argv[3]);
    }
    if (argc != 3) return Usage();
    if (strcmp(command, "query") == 0) return CmdQuery(argv[2]);
    if (strcmp(command, "hold") == 0) return CmdHold(argv[2]);
    if (strcmp(command, "release") == 0) return CmdRelease(argv[2]);
    return Usage();
}
