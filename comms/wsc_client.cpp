#include "comms/wsc_client.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "comms/async_channel.h"
#include "comms/command_attrs.h"
#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/os_paths.h"
#include "runtime/sg_containers.h"
#include "runtime/threads.h"
#include "runtime/unistr.h"

using namespace nvx_wire;

namespace {

constexpr uint32_t kWscTableBuckets = 128;

// The protected start: the client runs at the service's own protection level.
constexpr DWORD kProtectedCreationFlags = 0xC0000;
constexpr DWORD_PTR kProtectionLevelAttribute = 0x2000B;
constexpr DWORD kProtectionLevelSame = 0xFFFFFFFF;
static_assert(kProtectedCreationFlags == (EXTENDED_STARTUPINFO_PRESENT | CREATE_PROTECTED_PROCESS));
static_assert(kProtectionLevelAttribute == PROC_THREAD_ATTRIBUTE_PROTECTION_LEVEL);
static_assert(kProtectionLevelSame == PROTECTION_LEVEL_SAME);
static_assert(sizeof(STARTUPINFOEXW) == 112);

constexpr uint32_t kExitCodeTextMax = 16;

SgWscUnprotectedStartFn g_unprotectedStart = nullptr;

// Shape of the WSC client table's elements: compared by their stored name. The service
// inserts none; the table lives from start-up to shutdown.
struct WscEntry {
    SgObject header;
    char name[64];
};

struct WscState {
    SgHashTable* table;
    CRITICAL_SECTION lock;
    bool lockInitialised;
};

WscState g_wsc;

bool CompareEntries(const SgObject* candidate, const SgObject* present) {
    return strcmp(reinterpret_cast<const WscEntry*>(candidate)->name,
                  reinterpret_cast<const WscEntry*>(present)->name) == 0;
}

bool CompareEntryName(const SgObject* element, const void* key) {
    return strcmp(reinterpret_cast<const WscEntry*>(element)->name, static_cast<const char*>(key)) == 0;
}

void ReleaseState() {
    if (g_wsc.table != nullptr) SgDisposeObject(&g_wsc.table->header, kSgFreeAlways);
    if (g_wsc.lockInitialised) DeleteCriticalSection(&g_wsc.lock);
    g_wsc = WscState{};
}

// Get handler of "Version": answers with the product version.
uint8_t AnswerVersion(SgMessage* message) { return SgSendCommandReply(message, kProductVersion) ? 1 : 0; }

const char* FaultText(SgWscArgumentFault fault) {
    switch (fault) {
        case SgWscArgumentFault::kDoubleQuote:
            return "a double quote";
        case SgWscArgumentFault::kControlCharacter:
            return "a control character";
        case SgWscArgumentFault::kSpidSwitch:
            return "its own /spid";
        default:
            return "nothing wrong";
    }
}

// The attribute list that asks for the service's own protection level (the value must outlive
// the list). Logs its own failures.
struct ProtectionAttributes {
    HANDLE heap = nullptr;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
    bool initialised = false;
    DWORD level = kProtectionLevelSame;
};

enum class AttributesResult { kReady, kUnprotected, kFailed };

AttributesResult PrepareAttributes(ProtectionAttributes* a) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // only reports the size
    a->heap = GetProcessHeap();
    if (a->heap == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient failed, GetProcessHeap returned NULL");
        return AttributesResult::kFailed;
    }
    a->list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(a->heap, 0, size));
    if (a->list == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient failed, HeapAlloc returned NULL");
        return AttributesResult::kFailed;
    }
    if (!InitializeProcThreadAttributeList(a->list, 1, 0, &size)) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                     "SgExecWSCClient failed to initialize WSCClient ProcThreadAttributes, error: %d",
                     static_cast<int>(GetLastError()));
        return AttributesResult::kFailed;
    }
    a->initialised = true;
    if (!UpdateProcThreadAttribute(a->list, 0, kProtectionLevelAttribute, &a->level, sizeof(a->level), nullptr,
                                   nullptr)) {
        const DWORD error = GetLastError();
        if (g_unprotectedStart != nullptr && g_unprotectedStart(error)) return AttributesResult::kUnprotected;
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                     "SgExecWSCClient failed to update WSCClient ProcThreadAttributes, error: %d",
                     static_cast<int>(error));
        return AttributesResult::kFailed;
    }
    return AttributesResult::kReady;
}

void ReleaseAttributes(ProtectionAttributes* a) {
    if (a->initialised) DeleteProcThreadAttributeList(a->list);
    if (a->list != nullptr) HeapFree(a->heap, 0, a->list);
}

enum class WaitEnd { kExited, kFailed, kStopping };

// Waits for the client without a time limit. On the communications thread the thread's wake
// event is waited on too: a stop must not hang on a client that never exits.
WaitEnd WaitForClient(HANDLE process) {
    SgThread* comms = SgGetCommsThread();
    const bool onComms = comms != nullptr && comms->os != nullptr && comms->os->threadId == GetCurrentThreadId();
    HANDLE handles[2] = {process, onComms ? comms->os->wakeEvent : nullptr};
    DWORD result;
    for (;;) {
        if (onComms && !SgThreadShouldRun(comms)) return WaitEnd::kStopping;
        result = WaitForMultipleObjects(onComms ? 2 : 1, handles, FALSE, INFINITE);
        if (result != WAIT_OBJECT_0 + 1) break;
        // Woken: the loop looks at the run flag again (another wake only costs a pass).
    }
    switch (result) {
        case WAIT_OBJECT_0:
            return WaitEnd::kExited;
        case WAIT_ABANDONED:
            SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient wait abandoned");
            break;
        case WAIT_TIMEOUT:
            SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient wait timeout");
            break;
        case WAIT_FAILED:
            SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient wait failed");
            break;
        default:
            SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient unexpected wait error, Error: %d",
                         static_cast<int>(result));
            break;
    }
    return WaitEnd::kFailed;
}

// Starts the client and waits for it; true with *exitCode when its exit code was obtained.
bool RunClient(const UNICODE_STRING* path, UNICODE_STRING* commandLine, unsigned long sourcePid, DWORD* exitCode) {
    ProtectionAttributes attributes;
    const AttributesResult prepared = PrepareAttributes(&attributes);
    bool obtained = false;
    if (prepared != AttributesResult::kFailed) {
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof(startup);
        startup.lpAttributeList = attributes.list;
        DWORD flags = kProtectedCreationFlags;
        if (prepared == AttributesResult::kUnprotected) {
            startup.StartupInfo.cb = sizeof(startup.StartupInfo);
            startup.lpAttributeList = nullptr;
            flags = 0;
        }
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_DEBUG,
                     "SgExecWSCClient running CreateProcessW, ApplicationName: %S, CommandLine: %S", path->Buffer,
                     commandLine->Buffer);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(path->Buffer, commandLine->Buffer, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                            &startup.StartupInfo, &process)) {
            SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                         "SgExecWSCClient failed to create ZEDovur Protected WSCClient process, error: %d, path = %S",
                         static_cast<int>(GetLastError()), path->Buffer);
        } else {
            const WaitEnd end = WaitForClient(process.hProcess);
            if (end == WaitEnd::kStopping) {
                // The client is not ended: what it does is its own business, and the stop must
                // not wait for it. The driver learns that no exit code came.
                SgDebugPrint(SG_FAC_POLICY, SG_LVL_WARNING,
                             "SgExecWSCClient: the service is stopping, WSCClient (process %lu) is left running, "
                             "source pid = %lu",
                             static_cast<unsigned long>(process.dwProcessId), sourcePid);
            } else if (GetExitCodeProcess(process.hProcess, exitCode)) {
                SgDebugPrint(SG_FAC_POLICY, SG_LVL_DEBUG, "SgExecWSCClient call to WSCClient finished, exit code: %d",
                             static_cast<int>(*exitCode));
                obtained = true;
            } else {
                SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient failed to get process exit code, error: %d",
                             static_cast<int>(GetLastError()));
            }
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }
    ReleaseAttributes(&attributes);
    return obtained;
}

}  // namespace

uint8_t SgExecWSCClient(SgMessage* message, const char* arguments) {
    if (arguments == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient called with NULL buffer");
        return 0;
    }
    const int type = message != nullptr && message->message != nullptr ? SgMessageHeader(message)->type : -1;
    if (type != kTypeCommand) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient called with unexpected command type %d", type);
        return 0;
    }
    const CommandMsg* command = SgCommandOf(message);
    const auto sourcePid = static_cast<uint32_t>(command->sourceProcessId);

    // Vetted before the text is logged or used: it goes onto a protected process's command
    // line (and into the log) as it came from the driver.
    uint32_t at = 0;
    const SgWscArgumentFault fault = SgCheckWSCClientArguments(arguments, &at);
    if (fault != SgWscArgumentFault::kNone) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR,
                     "SgExecWSCClient refused the arguments: they hold %s at offset %lu, source pid = %lu",
                     FaultText(fault), static_cast<unsigned long>(at), static_cast<unsigned long>(sourcePid));
        SgSendCommandReply(message, "-1");
        return 0;
    }
    SgDebugPrint(SG_FAC_POLICY, SG_LVL_DEBUG, "SgExecWSCClient called, buf = %s, source pid = %lu", arguments,
                 static_cast<unsigned long>(sourcePid));

    UNICODE_STRING* path = SgGetUserPathFromKernelPathW(WSCClientFile);
    if (path == nullptr) {
        SgDebugPrint(SG_FAC_POLICY, SG_LVL_ERROR, "SgExecWSCClient failed, SgGetUserPathFromKernelPathW returned NULL");
        return 0;
    }
    DWORD exitCode = 0;
    bool obtained = false;
    UNICODE_STRING* commandLine = SgBuildWSCClientCommandLine(path, arguments, sourcePid, command->sourceProcessKey);
    if (commandLine != nullptr) {
        obtained = RunClient(path, commandLine, static_cast<unsigned long>(sourcePid), &exitCode);
        SgFreeUnistr(commandLine);
    }
    char reply[kExitCodeTextMax] = "-1";
    if (obtained) snprintf(reply, sizeof(reply), "%ld", static_cast<long>(static_cast<int32_t>(exitCode)));
    SgSendCommandReply(message, reply);
    SgFreeUnistr(path);
    return obtained ? 1 : 0;
}

void SgSetWscUnprotectedStart(SgWscUnprotectedStartFn allow) { g_unprotectedStart = allow; }

bool SgInitWSCClient() {
    if (g_wsc.table != nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgInitWSCClient: already initialised");
        return false;
    }
    g_wsc.table = SgCreateHashTable();
    if (g_wsc.table == nullptr) return false;  // the pool has logged it
    g_wsc.table->compareElements = CompareEntries;
    g_wsc.table->compareKey = CompareEntryName;
    g_wsc.table->freeMode = kSgFreeWhenDestroyed;
    if (!SgSetHashBuckets(g_wsc.table, kWscTableBuckets)) {
        ReleaseState();
        return false;
    }
    InitializeCriticalSection(&g_wsc.lock);
    g_wsc.lockInitialised = true;

    SgCommandAttr* version = SgCreateCommandAttr("Version");
    if (version == nullptr) {  // logged by the registry
        ReleaseState();
        return false;
    }
    version->getPermitted = 1;
    version->getArity = 1;
    version->getHandler = reinterpret_cast<void*>(AnswerVersion);
    SgReleaseCommandAttr(version);

    SgCommandAttr* client = SgCreateCommandAttr("WSCClient");
    if (client == nullptr) {  // logged by the registry
        ReleaseState();
        return false;
    }
    client->execPermitted = 1;
    client->execArity = 2;
    client->execHandler = reinterpret_cast<void*>(SgExecWSCClient);
    SgReleaseCommandAttr(client);
    return true;
}

void SgShutdownWSCClient() { ReleaseState(); }
