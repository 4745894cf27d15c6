// The platform calls of the native fuzzing build, with trivial deterministic behaviour: one
// thread, no real handles, a fixed registry and object namespace, processes that start and
// exit with code 0 at once. Everything a target observes comes from its input alone.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "comms/async_channel.h"
#include "comms/command_attrs.h"
#include "comms/messages.h"
#include "comms/wsc_client.h"
#include "fuzz/platform/fuzz_support.h"
#include "runtime/debug_log.h"
#include "runtime/log_format.h"
#include "runtime/memory.h"
#include "runtime/os_paths.h"
#include "runtime/os_symbols.h"
#include "runtime/path_names.h"
#include "runtime/threads.h"

namespace {

thread_local DWORD gLastError = 0;
int64_t gLocksHeld = 0;
NvxFuzzObserved gObserved;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "==fuzz== FINDING: %s\n", what);
    fflush(stderr);
    abort();
}

HANDLE FakeHandle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

size_t Units(const wchar_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// ---- the object namespace: symbolic links as a freshly booted system volume has them --------

struct Link {
    const wchar_t* name;
    const wchar_t* target;
};
const Link kLinks[] = {
    {L"\\SystemRoot", L"\\Device\\HarddiskVolume1\\Windows"},
    {L"\\DosDevices", L"\\??"},
    {L"\\??\\C:", L"\\Device\\HarddiskVolume1"},
    {L"\\??\\D:", L"\\Device\\CdRom0"},
    {L"\\??\\GLOBALROOT", L""},
    {L"\\??\\Loop", L"\\??\\Loop"},
    {L"\\??\\Long",
     L"\\Device\\HarddiskVolume1\\Aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
     L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
     L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
};
// Objects that exist and are not links (opening them as a link is a type mismatch).
const wchar_t* const kObjects[] = {L"\\Device", L"\\Device\\HarddiskVolume1", L"\\Device\\CdRom0", L"\\??",
                                   L"\\GLOBAL??"};

wchar_t LowerUnit(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameName(const UNICODE_STRING* name, const wchar_t* text) {
    const size_t units = Units(text);
    if (name->Length != units * sizeof(wchar_t)) return false;
    for (size_t i = 0; i < units; ++i) {
        if (LowerUnit(name->Buffer[i]) != LowerUnit(text[i])) return false;
    }
    return true;
}

bool UnderVolume(const UNICODE_STRING* name) {
    static const wchar_t kVolume[] = L"\\Device\\HarddiskVolume1\\";
    const size_t units = Units(kVolume);
    if (name->Length < units * sizeof(wchar_t)) return false;
    for (size_t i = 0; i < units; ++i) {
        if (LowerUnit(name->Buffer[i]) != LowerUnit(kVolume[i])) return false;
    }
    return true;
}

constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kStatusObjectTypeMismatch = static_cast<NTSTATUS>(0xC0000024);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr uintptr_t kLinkHandleBase = 0x1000;

NTSTATUS NTAPI ShimOpenSymbolicLink(PHANDLE link, ACCESS_MASK, POBJECT_ATTRIBUTES attributes) {
    const UNICODE_STRING* name = attributes->ObjectName;
    if (name == nullptr || name->Buffer == nullptr || (name->Length & 1) != 0) return kStatusObjectNameNotFound;
    for (size_t i = 0; i < sizeof(kLinks) / sizeof(kLinks[0]); ++i) {
        if (SameName(name, kLinks[i].name)) {
            *link = FakeHandle(kLinkHandleBase + i);
            return 0;
        }
    }
    for (const wchar_t* object : kObjects) {
        if (SameName(name, object)) return kStatusObjectTypeMismatch;
    }
    if (UnderVolume(name)) return kStatusObjectTypeMismatch;  // a file system's own name space
    return kStatusObjectNameNotFound;
}

NTSTATUS NTAPI ShimQuerySymbolicLink(HANDLE link, PUNICODE_STRING target, PULONG returned) {
    const uintptr_t index = reinterpret_cast<uintptr_t>(link) - kLinkHandleBase;
    if (index >= sizeof(kLinks) / sizeof(kLinks[0])) return kStatusInvalidHandle;
    const size_t bytes = Units(kLinks[index].target) * sizeof(wchar_t);
    if (returned != nullptr) *returned = static_cast<ULONG>(bytes);
    if (bytes > target->MaximumLength) return kStatusBufferTooSmall;
    memcpy(target->Buffer, kLinks[index].target, bytes);
    target->Length = static_cast<USHORT>(bytes);
    return 0;
}

NTSTATUS NTAPI ShimClose(HANDLE) { return 0; }

// ---- the registry: the two keys and three values InitOsPaths reads ----------------------------

const HKEY kCurrentVersion = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x2001));
const HKEY kProfileList = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x2002));

struct Value {
    HKEY key;
    const wchar_t* name;
    DWORD type;
    const wchar_t* data;
};
const Value kValues[] = {
    {kCurrentVersion, L"ProgramFilesDir", REG_SZ, L"C:\\Program Files"},
    {kCurrentVersion, L"ProgramFilesDir (x86)", REG_SZ, L"C:\\Program Files (x86)"},
    {kProfileList, L"ProgramData", REG_EXPAND_SZ, L"%SystemDrive%\\ProgramData"},
};

bool SameText(const wchar_t* a, const wchar_t* b) {
    const size_t n = Units(a);
    return n == Units(b) && memcmp(a, b, n * sizeof(wchar_t)) == 0;
}

// ---- the capturing router: replies the command handlers build ---------------------------------

uint32_t CaptureReply(SgMessage* reply) {
    // What the router receives must be a message the driver side would accept.
    const uint32_t size = SgMessageHeader(reply)->size;
    SgMessage* copy = SgParseMessage(reply->message, size);
    if (copy == nullptr) Fail("a reply the service built does not validate");
    const nvx_wire::CommandMsg* c = SgCommandOf(copy);
    if (c->header.type != nvx_wire::kTypeCommand || !(c->flags & nvx_wire::kFlagReply) ||
        !(c->flags & nvx_wire::kFlagFinal) || copy->payloadLength == 0 || copy->payload[copy->payloadLength - 1] != 0 ||
        strlen(reinterpret_cast<const char*>(copy->payload)) + 1 != copy->payloadLength) {
        Fail("a reply is not a final reply with one NUL-terminated text");
    }
    ++gObserved.repliesRouted;
    gObserved.lastReplyText.assign(reinterpret_cast<const char*>(copy->payload));
    gObserved.lastReplyFlags = c->flags;
    SgDestroyMessage(copy);
    SgDestroyMessage(reply);
    return nvx_wire::kCommSuccess;
}

}  // namespace

// ---- the C library's wide-string calls for 16-bit wchar_t ---------------------------------------
// The C library works with 32-bit wchar_t; the product's text is UTF-16. These definitions take
// precedence over the library's (and over the sanitizers' interceptors of them).
extern "C" size_t wcslen(const wchar_t* text) { return Units(text); }
extern "C" int wmemcmp(const wchar_t* a, const wchar_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<uint16_t>(a[i]) < static_cast<uint16_t>(b[i]) ? -1 : 1;
    }
    return 0;
}

// ---- the OS symbol slots the compiled sources call ---------------------------------------------

PFN_NtOpenSymbolicLinkObject SgNtOpenSymbolicLinkObject = ShimOpenSymbolicLink;
PFN_NtQuerySymbolicLinkObject SgNtQuerySymbolicLinkObject = ShimQuerySymbolicLink;
PFN_NtClose SgNtClose = ShimClose;

// ---- the debug log: every line is formatted, as the service formats it, then dropped -----------

void SgDebugPrint(uint32_t, uint32_t, const char* format, ...) {
    char line[kLogMessageCapacity];
    va_list args;
    va_start(args, format);
    SgFormatMessageV(line, sizeof(line), format, args);
    va_end(args);
}

// The channel (comms/async_channel.cpp) is not part of the native build: there is no
// communications thread.
SgThread* SgGetCommsThread() { return nullptr; }

// ---- kernel32 and advapi32 ---------------------------------------------------------------------

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    section->holds = 0;
    section->initialised = 1;
}
void EnterCriticalSection(LPCRITICAL_SECTION section) {
    if (section->initialised != 1) Fail("EnterCriticalSection on a section that is not initialised");
    ++section->holds;
    ++gLocksHeld;
}
void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (section->initialised != 1 || section->holds <= 0) Fail("LeaveCriticalSection without a matching enter");
    --section->holds;
    --gLocksHeld;
}
void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    if (section->initialised != 1) Fail("DeleteCriticalSection on a section that is not initialised");
    if (section->holds != 0) Fail("DeleteCriticalSection on a held section");
    section->initialised = 0;
}
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    const LONG old = *target;
    if (old == comparand) *target = exchange;
    return old;
}
LONG InterlockedExchange(LONG volatile* target, LONG value) {
    const LONG old = *target;
    *target = value;
    return old;
}
LONG InterlockedIncrement(LONG volatile* target) {
    const LONG value = *target + 1;
    *target = value;
    return value;
}
LONG InterlockedDecrement(LONG volatile* target) {
    const LONG value = *target - 1;
    *target = value;
    return value;
}

DWORD GetLastError() { return gLastError; }
void SetLastError(DWORD error) { gLastError = error; }
DWORD GetCurrentThreadId() { return 1; }
DWORD GetCurrentProcessId() { return 4242; }
void Sleep(DWORD) {}
BOOL CloseHandle(HANDLE) { return TRUE; }
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) { return FakeHandle(0x3001); }
BOOL SetEvent(HANDLE) { return TRUE; }
BOOL ResetEvent(HANDLE) { return TRUE; }
DWORD WaitForSingleObject(HANDLE, DWORD) { return WAIT_OBJECT_0; }
DWORD WaitForMultipleObjects(DWORD, const HANDLE*, BOOL, DWORD) { return WAIT_OBJECT_0; }
HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
    gLastError = ERROR_NOT_ENOUGH_MEMORY;  // no threads in the native build
    return nullptr;
}
void ExitThread(DWORD) { Fail("ExitThread: no thread of the native build may end itself"); }
void GetSystemTimeAsFileTime(LPFILETIME time) {
    time->dwLowDateTime = 0xD53E8000u;  // 2024-01-01T00:00:00Z
    time->dwHighDateTime = 0x01DA3C4Eu;
}
ULONGLONG GetTickCount64() { return 1000000; }
BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = 1000000;
    return TRUE;
}
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1000000;
    return TRUE;
}

HANDLE GetProcessHeap() { return FakeHandle(0x4001); }
LPVOID HeapAlloc(HANDLE, DWORD, SIZE_T bytes) { return malloc(bytes == 0 ? 1 : bytes); }
BOOL HeapFree(HANDLE, DWORD, LPVOID memory) {
    free(memory);
    return TRUE;
}
BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD, DWORD, SIZE_T* size) {
    if (list == nullptr) {
        *size = 48;
        gLastError = 122;  // ERROR_INSUFFICIENT_BUFFER
        return FALSE;
    }
    return TRUE;
}
BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, SIZE_T*) {
    return TRUE;
}
void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST) {}
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION information) {
    if (applicationName == nullptr || commandLine == nullptr) Fail("CreateProcessW without a path or command line");
    gObserved.lastCommandLine.assign(reinterpret_cast<const char16_t*>(commandLine), Units(commandLine));
    ++gObserved.processStarts;
    information->hProcess = FakeHandle(0x5001);
    information->hThread = FakeHandle(0x5002);
    information->dwProcessId = 5000;
    information->dwThreadId = 5004;
    return TRUE;
}
BOOL GetExitCodeProcess(HANDLE, LPDWORD exitCode) {
    *exitCode = 0;
    return TRUE;
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
    if (key != HKEY_LOCAL_MACHINE || subKey == nullptr) return ERROR_FILE_NOT_FOUND;
    if (SameText(subKey, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion")) {
        *result = kCurrentVersion;
    } else if (SameText(subKey, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList")) {
        *result = kProfileList;
    } else {
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    for (const Value& v : kValues) {
        if (v.key != key || !SameText(v.name, valueName)) continue;
        const DWORD bytes = static_cast<DWORD>((Units(v.data) + 1) * sizeof(wchar_t));
        if (type != nullptr) *type = v.type;
        if (data != nullptr && *size < bytes) {
            *size = bytes;
            return ERROR_MORE_DATA;
        }
        if (data != nullptr) memcpy(data, v.data, bytes);
        *size = bytes;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}
LSTATUS RegCloseKey(HKEY) { return ERROR_SUCCESS; }

// ---- the targets' support -------------------------------------------------------------------

void NvxFuzzInit(uint32_t parts) {
    static uint32_t initialised = 0;
    if ((parts & kNvxFuzzMemory) && !(initialised & kNvxFuzzMemory)) {
        if (!SgInitMemory()) Fail("SgInitMemory failed");
        initialised |= kNvxFuzzMemory;
    }
    if ((parts & kNvxFuzzPaths) && !(initialised & kNvxFuzzPaths)) {
        SgIs64BitKernel = true;
        if (!SgInitPathManagement()) Fail("SgInitPathManagement failed on the shim's machine");
        initialised |= kNvxFuzzPaths;
    }
    if ((parts & kNvxFuzzCommands) && !(initialised & kNvxFuzzCommands)) {
        if (!SgInitCommandAttrs() || !SgInitWSCClient()) Fail("the command attributes could not be set up");
        SgSetRouter(CaptureReply);
        initialised |= kNvxFuzzCommands;
    }
}

NvxFuzzBaseline NvxFuzzTakeBaseline() {
    const SgPoolStats stats = SgGetPoolStats();
    return {stats.blocksInUse, stats.bigChunksInUse, gLocksHeld};
}

void NvxFuzzCheckBaseline(const NvxFuzzBaseline& before, const char* what) {
    const NvxFuzzBaseline now = NvxFuzzTakeBaseline();
    if (now.blocks != before.blocks || now.bigChunks != before.bigChunks) {
        fprintf(stderr, "==fuzz== pool blocks %llu -> %llu, big chunks %llu -> %llu after %s\n",
                static_cast<unsigned long long>(before.blocks), static_cast<unsigned long long>(now.blocks),
                static_cast<unsigned long long>(before.bigChunks), static_cast<unsigned long long>(now.bigChunks),
                what);
        Fail("memory pool leak");
    }
    if (now.locks != before.locks) Fail("a critical section is still held");
    const SgPoolStats stats = SgGetPoolStats();
    if (stats.badMagicCount != 0) Fail("the memory pool counted a bad block");
}

void NvxFuzzRequire(bool condition, const char* what) {
    if (!condition) Fail(what);
}

NvxFuzzObserved& NvxFuzzObservedCalls() { return gObserved; }
void NvxFuzzResetObserved() { gObserved = NvxFuzzObserved{}; }
