// The fault seam of the test build: counting wrappers for the platform calls, and the armed
// range of calls each operation fails. Linked only into test programs (see
// runtime/fault_seam_testing.h for the mechanism and runtime/CMakeLists.txt for the link).
#include "runtime/fault_seam_testing.h"

#include <windows.h>

#include <fltuser.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <type_traits>

#include "comms/fltlib_api.h"
#include "runtime/os_symbols.h"

namespace {

struct OpState {
    const char* name;
    uint32_t defaultError;
    volatile LONG64 calls;
    volatile LONG64 failures;
    volatile LONG64 firstFailing;  // 0: disarmed
    volatile LONG64 lastFailing;
    volatile LONG error;
};

constexpr uint32_t kHresultNotFound = 0x80070002;  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
constexpr uint32_t kStatusAccessDenied = 0xC0000022;

OpState g_ops[SG_FAULT_OP_COUNT] = {
    {"ThreadCreate", ERROR_NOT_ENOUGH_MEMORY, 0, 0, 0, 0, 0},
    {"EventCreate", ERROR_NOT_ENOUGH_MEMORY, 0, 0, 0, 0, 0},
    {"Wait", ERROR_INVALID_HANDLE, 0, 0, 0, 0, 0},
    {"Memory", ERROR_NOT_ENOUGH_MEMORY, 0, 0, 0, 0, 0},
    {"RegOpenKey", ERROR_ACCESS_DENIED, 0, 0, 0, 0, 0},
    {"RegQueryValue", ERROR_ACCESS_DENIED, 0, 0, 0, 0, 0},
    {"RegSetValue", ERROR_ACCESS_DENIED, 0, 0, 0, 0, 0},
    {"RegNotify", ERROR_ACCESS_DENIED, 0, 0, 0, 0, 0},
    {"NtFile", kStatusAccessDenied, 0, 0, 0, 0, 0},
    {"DirectoryList", kStatusAccessDenied, 0, 0, 0, 0, 0},
    {"FilterConnect", kHresultNotFound, 0, 0, 0, 0, 0},
    {"FilterSend", kHresultNotFound, 0, 0, 0, 0, 0},
    {"FilterGetMessage", kHresultNotFound, 0, 0, 0, 0, 0},
    {"FilterReply", kHresultNotFound, 0, 0, 0, 0, 0},
    {"FilterWalk", kHresultNotFound, 0, 0, 0, 0, 0},
    {"ProcessCreate", ERROR_ACCESS_DENIED, 0, 0, 0, 0, 0},
    {"Scm", ERROR_ACCESS_DENIED, 0, 0, 0, 0, 0},
    {"KnownFolder", kHresultNotFound, 0, 0, 0, 0, 0},
    {"WaitMultiple", ERROR_INVALID_HANDLE, 0, 0, 0, 0, 0},
    {"CompletionWait", ERROR_INVALID_HANDLE, 0, 0, 0, 0, 0},
};

wchar_t g_countsFile[MAX_PATH];

// Counts this call of op; true (with the error to report) when it is one of the armed range.
bool FailThisCall(SgFaultOp op, DWORD* error) {
    OpState& s = g_ops[op];
    LONG64 n = InterlockedIncrement64(&s.calls);
    LONG64 first = InterlockedCompareExchange64(&s.firstFailing, 0, 0);
    if (first == 0 || n < first || n > InterlockedCompareExchange64(&s.lastFailing, 0, 0)) return false;
    InterlockedIncrement64(&s.failures);
    LONG chosen = InterlockedCompareExchange(&s.error, 0, 0);
    *error = chosen != 0 ? static_cast<DWORD>(chosen) : s.defaultError;
    return true;
}

// Set on the threads the program starts itself (CreateThread), not on the C++ runtime's
// (std::thread), whose condition waits use the same functions.
thread_local bool t_ownThread = false;

// A call of one of Wait's parts: counted under Wait, and under the part when the program's own
// thread makes it; failed when either range holds it.
bool FailThisWait(SgFaultOp part, DWORD* error) {
    DWORD asPart = 0;
    const bool wait = FailThisCall(SG_FAULT_WAIT, error);
    if (!t_ownThread || !FailThisCall(part, &asPart)) return wait;
    *error = asPart;
    return true;
}

// How a function reports failure.
enum class FailKind {
    kNullWithLastError,   // a null handle or pointer, the error as last error
    kFalseWithLastError,  // FALSE, the error as last error
    kWaitFailed,          // WAIT_FAILED, the error as last error
    kReturned,            // the error itself is the result (LSTATUS, NTSTATUS, HRESULT)
};

template <typename R, FailKind Kind>
R Failure(DWORD error) {
    if constexpr (Kind == FailKind::kReturned) {
        return static_cast<R>(error);
    } else {
        SetLastError(error);
        if constexpr (Kind == FailKind::kWaitFailed) return static_cast<R>(WAIT_FAILED);
        if constexpr (Kind == FailKind::kFalseWithLastError) return static_cast<R>(FALSE);
        if constexpr (Kind == FailKind::kNullWithLastError) return R{};
    }
}

// The wrapper of the function whose real address is in Real.
template <auto& Real, SgFaultOp Op, FailKind Kind, typename R, typename... A>
R WINAPI Counted(A... args) {
    DWORD error = 0;
    if (FailThisCall(Op, &error)) return Failure<R, Kind>(error);
    return Real(args...);
}

template <auto& Real, SgFaultOp Op, FailKind Kind, typename R, typename... A>
constexpr auto WrapperOf(R(WINAPI*)(A...)) -> R(WINAPI*)(A...) {
    return &Counted<Real, Op, Kind, R, A...>;
}

#define SG_WRAPPER(real, op, kind) \
    WrapperOf<real, op, FailKind::kind>(static_cast<std::remove_reference_t<decltype(real)>>(nullptr))

}  // namespace

// ---- imported calls: ld --wrap=__imp_F points the import pointer at __wrap___imp_F ----------

#define SG_WRAP_IMPORT(fn, op, kind)                                             \
    extern "C" decltype(&::fn) __real___imp_##fn;                                \
    extern "C" {                                                                 \
    decltype(&::fn) __wrap___imp_##fn = SG_WRAPPER(__real___imp_##fn, op, kind); \
    }

extern "C" decltype(&::CreateThread) __real___imp_CreateThread;
namespace {
struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};
DWORD WINAPI OwnThreadStart(LPVOID p) {
    const ThreadStart start = *static_cast<ThreadStart*>(p);
    HeapFree(GetProcessHeap(), 0, p);
    t_ownThread = true;
    return start.routine(start.parameter);
}
}  // namespace
// The thread starts through OwnThreadStart, which marks it as the program's own.
static HANDLE WINAPI CountedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE routine,
                                         LPVOID parameter, DWORD flags, LPDWORD id) {
    DWORD error = 0;
    if (FailThisCall(SG_FAULT_THREAD_CREATE, &error)) return Failure<HANDLE, FailKind::kNullWithLastError>(error);
    auto* start = static_cast<ThreadStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
    if (start == nullptr) return __real___imp_CreateThread(security, stack, routine, parameter, flags, id);
    *start = {routine, parameter};
    HANDLE thread = __real___imp_CreateThread(security, stack, OwnThreadStart, start, flags, id);
    if (thread == nullptr) HeapFree(GetProcessHeap(), 0, start);
    return thread;
}
extern "C" {
decltype(&::CreateThread) __wrap___imp_CreateThread = CountedCreateThread;
}

SG_WRAP_IMPORT(CreateEventW, SG_FAULT_EVENT_CREATE, kNullWithLastError)
SG_WRAP_IMPORT(WaitForSingleObject, SG_FAULT_WAIT, kWaitFailed)
SG_WRAP_IMPORT(RegOpenKeyExW, SG_FAULT_REG_OPEN, kReturned)
SG_WRAP_IMPORT(RegQueryValueExW, SG_FAULT_REG_QUERY, kReturned)
SG_WRAP_IMPORT(RegSetValueExW, SG_FAULT_REG_SET, kReturned)
SG_WRAP_IMPORT(RegNotifyChangeKeyValue, SG_FAULT_REG_NOTIFY, kReturned)
SG_WRAP_IMPORT(CreateProcessW, SG_FAULT_PROCESS_CREATE, kFalseWithLastError)

extern "C" decltype(&::WaitForMultipleObjects) __real___imp_WaitForMultipleObjects;
static DWORD WINAPI CountedWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD millis) {
    DWORD error = 0;
    if (FailThisWait(SG_FAULT_WAIT_MULTIPLE, &error)) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    return __real___imp_WaitForMultipleObjects(count, handles, all, millis);
}
extern "C" {
decltype(&::WaitForMultipleObjects) __wrap___imp_WaitForMultipleObjects = CountedWaitForMultipleObjects;
}

// A failed completion-port wait dequeues no packet: the caller tells the two apart by a null
// *overlapped.
extern "C" decltype(&::GetQueuedCompletionStatus) __real___imp_GetQueuedCompletionStatus;
static BOOL WINAPI CountedGetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key,
                                                    LPOVERLAPPED* overlapped, DWORD millis) {
    DWORD error = 0;
    if (FailThisWait(SG_FAULT_COMPLETION_WAIT, &error)) {
        if (overlapped != nullptr) *overlapped = nullptr;
        SetLastError(error);
        return FALSE;
    }
    return __real___imp_GetQueuedCompletionStatus(port, bytes, key, overlapped, millis);
}
extern "C" {
decltype(&::GetQueuedCompletionStatus) __wrap___imp_GetQueuedCompletionStatus = CountedGetQueuedCompletionStatus;
}

// ---- calls the SDK headers declare without dllimport: ld --wrap=F ---------------------------
// The product calls these through the import library's thunk F, so the link redirects F itself.

extern "C" {
decltype(::SHGetKnownFolderPath) __real_SHGetKnownFolderPath;

// A failed lookup leaves no path to free.
HRESULT WINAPI __wrap_SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path) {
    DWORD error = 0;
    if (FailThisCall(SG_FAULT_KNOWN_FOLDER, &error)) {
        if (path != nullptr) *path = nullptr;
        return static_cast<HRESULT>(error);
    }
    return __real_SHGetKnownFolderPath(id, flags, token, path);
}
}

// ---- the memory pool's allocations: ld --wrap=SgPoolOsAlloc ---------------------------------

extern "C" void* __real_SgPoolOsAlloc(size_t size);
extern "C" void* __wrap_SgPoolOsAlloc(size_t size) {
    DWORD error = 0;
    if (FailThisCall(SG_FAULT_MEMORY, &error)) return nullptr;
    return __real_SgPoolOsAlloc(size);
}

// ---- calls resolved at run time: the wrapped GetProcAddress hands out their wrappers -------

namespace {

PFN_NtCreateFile g_realNtCreateFile;
PFN_NtOpenFile g_realNtOpenFile;
PFN_NtReadFile g_realNtReadFile;
PFN_NtWriteFile g_realNtWriteFile;
PFN_NtQueryInformationFile g_realNtQueryInformationFile;
PFN_NtSetInformationFile g_realNtSetInformationFile;
PFN_NtFlushBuffersFile g_realNtFlushBuffersFile;
PFN_NtQueryDirectoryFile g_realNtQueryDirectoryFile;
PFN_FilterConnectCommunicationPort g_realFilterConnectCommunicationPort;
PFN_FilterSendMessage g_realFilterSendMessage;
PFN_FilterGetMessage g_realFilterGetMessage;
PFN_FilterReplyMessage g_realFilterReplyMessage;
decltype(&::FilterFindFirst) g_realFilterFindFirst;
decltype(&::FilterFindNext) g_realFilterFindNext;
decltype(&::FilterInstanceFindFirst) g_realFilterInstanceFindFirst;
decltype(&::FilterInstanceFindNext) g_realFilterInstanceFindNext;
PFN_StartServiceCtrlDispatcherA g_realStartServiceCtrlDispatcherA;
PFN_RegisterServiceCtrlHandlerA g_realRegisterServiceCtrlHandlerA;
PFN_RegisterServiceCtrlHandlerExA g_realRegisterServiceCtrlHandlerExA;
PFN_SetServiceStatus g_realSetServiceStatus;
PFN_OpenSCManagerA g_realOpenSCManagerA;
PFN_OpenServiceA g_realOpenServiceA;
PFN_QueryServiceStatus g_realQueryServiceStatus;
PFN_QueryServiceStatusEx g_realQueryServiceStatusEx;
PFN_QueryServiceConfigA g_realQueryServiceConfigA;

struct Redirect {
    const char* name;
    void** real;  // where the real address is kept for the wrapper
    FARPROC wrapper;
};

template <typename T>
FARPROC AsProc(T fn) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(fn));
}

#define SG_REDIRECT(fn, op, kind) \
    { #fn, reinterpret_cast < void**>(&g_real##fn), AsProc(SG_WRAPPER(g_real##fn, op, kind)) }

const Redirect kRedirects[] = {
    SG_REDIRECT(NtCreateFile, SG_FAULT_NT_FILE, kReturned),
    SG_REDIRECT(NtOpenFile, SG_FAULT_NT_FILE, kReturned),
    SG_REDIRECT(NtReadFile, SG_FAULT_NT_FILE, kReturned),
    SG_REDIRECT(NtWriteFile, SG_FAULT_NT_FILE, kReturned),
    SG_REDIRECT(NtQueryInformationFile, SG_FAULT_NT_FILE, kReturned),
    SG_REDIRECT(NtSetInformationFile, SG_FAULT_NT_FILE, kReturned),
    SG_REDIRECT(NtFlushBuffersFile, SG_FAULT_NT_FILE, kReturned),
    SG_REDIRECT(NtQueryDirectoryFile, SG_FAULT_DIRECTORY, kReturned),
    SG_REDIRECT(FilterConnectCommunicationPort, SG_FAULT_FLT_CONNECT, kReturned),
    SG_REDIRECT(FilterSendMessage, SG_FAULT_FLT_SEND, kReturned),
    SG_REDIRECT(FilterGetMessage, SG_FAULT_FLT_GET, kReturned),
    SG_REDIRECT(FilterReplyMessage, SG_FAULT_FLT_REPLY, kReturned),
    SG_REDIRECT(FilterFindFirst, SG_FAULT_FLT_WALK, kReturned),
    SG_REDIRECT(FilterFindNext, SG_FAULT_FLT_WALK, kReturned),
    SG_REDIRECT(FilterInstanceFindFirst, SG_FAULT_FLT_WALK, kReturned),
    SG_REDIRECT(FilterInstanceFindNext, SG_FAULT_FLT_WALK, kReturned),
    SG_REDIRECT(StartServiceCtrlDispatcherA, SG_FAULT_SCM, kFalseWithLastError),
    SG_REDIRECT(RegisterServiceCtrlHandlerA, SG_FAULT_SCM, kNullWithLastError),
    SG_REDIRECT(RegisterServiceCtrlHandlerExA, SG_FAULT_SCM, kNullWithLastError),
    SG_REDIRECT(SetServiceStatus, SG_FAULT_SCM, kFalseWithLastError),
    SG_REDIRECT(OpenSCManagerA, SG_FAULT_SCM, kNullWithLastError),
    SG_REDIRECT(OpenServiceA, SG_FAULT_SCM, kNullWithLastError),
    SG_REDIRECT(QueryServiceStatus, SG_FAULT_SCM, kFalseWithLastError),
    SG_REDIRECT(QueryServiceStatusEx, SG_FAULT_SCM, kFalseWithLastError),
    SG_REDIRECT(QueryServiceConfigA, SG_FAULT_SCM, kFalseWithLastError),
};

}  // namespace

extern "C" decltype(&::GetProcAddress) __real___imp_GetProcAddress;
// Returns the wrapper in place of a function the seam counts; the real address, which a module
// loaded again may change, is kept before the wrapper is handed out.
static FARPROC WINAPI CountedGetProcAddress(HMODULE module, LPCSTR name) {
    FARPROC real = __real___imp_GetProcAddress(module, name);
    if (real == nullptr || IS_INTRESOURCE(name)) return real;
    for (const Redirect& r : kRedirects) {
        if (strcmp(r.name, name) == 0) {
            InterlockedExchangePointer(r.real, reinterpret_cast<void*>(real));
            return r.wrapper;
        }
    }
    return real;
}
extern "C" {
decltype(&::GetProcAddress) __wrap___imp_GetProcAddress = CountedGetProcAddress;
}

// ---- the end of the process: ld --wrap=__imp_ExitProcess -----------------------------------

extern "C" decltype(&::ExitProcess) __real___imp_ExitProcess;
// The exit code the process passed to ExitProcess; the counts file names it, since the SCM shows
// the code of the service's last status report, not the process's (none for a process that ended
// before it reached the SCM).
static LONG64 g_exitCode = -1;
[[noreturn]] static void WINAPI CountedExitProcess(UINT code) {
    InterlockedExchange64(&g_exitCode, static_cast<LONG64>(code));
    SgFaultWriteCounts();
    __real___imp_ExitProcess(code);
    __builtin_unreachable();
}
extern "C" {
decltype(&::ExitProcess) __wrap___imp_ExitProcess = CountedExitProcess;
}

// ---- control ------------------------------------------------------------------------------

const char* SgFaultOpName(SgFaultOp op) { return op < SG_FAULT_OP_COUNT ? g_ops[op].name : "?"; }

bool SgFaultOpFromName(const wchar_t* name, SgFaultOp* op) {
    if (name == nullptr) return false;
    for (uint32_t i = 0; i < SG_FAULT_OP_COUNT; ++i) {
        const char* candidate = g_ops[i].name;
        size_t k = 0;
        while (candidate[k] != '\0' && towlower(name[k]) == static_cast<wint_t>(tolower(candidate[k]))) ++k;
        if (candidate[k] == '\0' && name[k] == L'\0') {
            *op = static_cast<SgFaultOp>(i);
            return true;
        }
    }
    return false;
}

uint32_t SgFaultDefaultError(SgFaultOp op) { return op < SG_FAULT_OP_COUNT ? g_ops[op].defaultError : 0; }

void SgFaultArm(SgFaultOp op, uint64_t call, uint32_t count, uint32_t error) {
    if (op >= SG_FAULT_OP_COUNT) return;
    OpState& s = g_ops[op];
    // Disarmed while the range changes, so no call sees half of it.
    InterlockedExchange64(&s.firstFailing, 0);
    if (call == 0 || count == 0) return;
    InterlockedExchange(&s.error, static_cast<LONG>(error));
    InterlockedExchange64(&s.lastFailing, static_cast<LONG64>(call + count - 1));
    InterlockedExchange64(&s.firstFailing, static_cast<LONG64>(call));
}

void SgFaultArmNext(SgFaultOp op, uint32_t count, uint32_t error) {
    SgFaultArm(op, SgFaultCalls(op) + 1, count, error);
}

void SgFaultDisarmAll() {
    for (uint32_t i = 0; i < SG_FAULT_OP_COUNT; ++i) SgFaultArm(static_cast<SgFaultOp>(i), 0, 0, 0);
}

uint64_t SgFaultCalls(SgFaultOp op) {
    return op < SG_FAULT_OP_COUNT ? static_cast<uint64_t>(InterlockedCompareExchange64(&g_ops[op].calls, 0, 0)) : 0;
}

uint64_t SgFaultFailures(SgFaultOp op) {
    return op < SG_FAULT_OP_COUNT ? static_cast<uint64_t>(InterlockedCompareExchange64(&g_ops[op].failures, 0, 0)) : 0;
}

void SgFaultSetCountsFile(const wchar_t* path) {
    if (path == nullptr || wcslen(path) >= MAX_PATH) {
        g_countsFile[0] = L'\0';
        return;
    }
    wcscpy(g_countsFile, path);
}

bool SgFaultWriteCounts() {
    if (g_countsFile[0] == L'\0') return false;
    char text[SG_FAULT_OP_COUNT * 64];
    size_t used = 0;
    for (uint32_t i = 0; i < SG_FAULT_OP_COUNT; ++i) {
        int n = snprintf(text + used, sizeof(text) - used, "%s %llu %llu\r\n", g_ops[i].name,
                         static_cast<unsigned long long>(SgFaultCalls(static_cast<SgFaultOp>(i))),
                         static_cast<unsigned long long>(SgFaultFailures(static_cast<SgFaultOp>(i))));
        if (n < 0 || static_cast<size_t>(n) >= sizeof(text) - used) return false;
        used += static_cast<size_t>(n);
    }
    const LONG64 exitCode = InterlockedCompareExchange64(&g_exitCode, 0, 0);
    if (exitCode >= 0) {
        int n = snprintf(text + used, sizeof(text) - used, "ExitProcess 0x%llx\r\n",
                         static_cast<unsigned long long>(exitCode));
        if (n < 0 || static_cast<size_t>(n) >= sizeof(text) - used) return false;
        used += static_cast<size_t>(n);
    }
    HANDLE file = CreateFileW(g_countsFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text, static_cast<DWORD>(used), &written, nullptr) && written == used;
    CloseHandle(file);
    return ok;
}
