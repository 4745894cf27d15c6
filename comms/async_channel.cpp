#include "comms/async_channel.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "comms/command_attrs.h"
#include "comms/fltlib_api.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/sg_containers.h"
#include "runtime/threads.h"

using namespace nvx_wire;

namespace {

typedef BOOL(WINAPI* PFN_CancelIoEx)(HANDLE file, LPOVERLAPPED overlapped);

constexpr uint64_t kHousekeepingInterval = 1000000;  // one second
constexpr uint32_t kReceiveBufferSize = 0x40038;
constexpr uint32_t kReceiveLength = 0x40010;  // FILTER_MESSAGE_HEADER + largest message
constexpr uint32_t kOwnerOffset = 0x40010;
constexpr uint32_t kOverlappedOffset = 0x40018;
constexpr uint32_t kQueueFullRetryLimit = 10;
constexpr uint32_t kPendingBuckets = 64;
static_assert(kOverlappedOffset + sizeof(OVERLAPPED) == kReceiveBufferSize, "buffer layout");

// An entry of the start-message queue, later of the pending-request table.
struct RequestEntry {
    SgObject header;  // bucket = request ID & 63
    uint32_t requestId;
    SgMessage* message;
    FILETIME sentTime;
    FILETIME lastReplyTime;
    void* replyContext;
    SgReplyCallback callback;
    HANDLE waiterEvent;
    uint8_t busy;
    uint8_t waiterAttached;
};

struct ChannelState {
    HMODULE fltlib;
    bool loadedFltlib;
    PFN_FilterConnectCommunicationPort connect;
    PFN_FilterSendMessage send;
    PFN_FilterGetMessage get;
    PFN_FilterReplyMessage reply;
    PFN_CancelIoEx cancelIoEx;
    HANDLE port;
    HANDLE completionPort;
    SgThread* thread;
    uint64_t interval;
    uint64_t nextDeadline;
    uint32_t bufferCount;
    uint32_t bufferSize;
    uint8_t** buffers;
    SgList* startQueue;
    SgHashTable* pending;
    uint32_t componentId;
    uint32_t retryLimit;
    bool locksReady;
    RegRequestMsg* context;
    volatile LONG portLost;  // the driver's port broke under the running channel
};

ChannelState gChannel;
// Woken when the port breaks; outlives every communications thread (SgWatchAsyncChannelLoss).
std::atomic<SgThread*> gLossWatcher{nullptr};
CRITICAL_SECTION gQueueLock;
CRITICAL_SECTION gPendingLock;
volatile LONG gNextRequestId = 0;

bool DestroyRequestEntry(SgObject* object) {
    auto* entry = reinterpret_cast<RequestEntry*>(object);
    if (entry->waiterEvent != nullptr) CloseHandle(entry->waiterEvent);
    entry->waiterEvent = nullptr;
    if (entry->message != nullptr) SgDestroyMessage(entry->message);
    entry->message = nullptr;
    return true;
}

void DisposeRequestEntry(RequestEntry* entry) { SgDisposeObject(&entry->header, kSgFreeAlways); }

bool CompareEntries(const SgObject* candidate, const SgObject* present) {
    return reinterpret_cast<const RequestEntry*>(candidate)->requestId ==
           reinterpret_cast<const RequestEntry*>(present)->requestId;
}

bool CompareEntryKey(const SgObject* element, const void* key) {
    return reinterpret_cast<const RequestEntry*>(element)->requestId == *static_cast<const uint32_t*>(key);
}

HRESULT HresultFromWin32(DWORD error) {
    return static_cast<int32_t>(error) <= 0 ? static_cast<HRESULT>(error)
                                            : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

// The driver closed its port (unloaded, or its port closed): the thread ends by itself and the
// watcher, woken here, takes the channel down once it has ended. Nothing is closed here: the port
// and the completion port stay the channel's until SgShutdownAsyncComms, so a stop that cancels
// the port's I/O meanwhile never meets a handle that has been closed.
void PortLost() {
    if (InterlockedExchange(&gChannel.portLost, 1) == 0) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_WARNING, "The driver closed its communications port");
    }
    SgStopCommsThread();
    SgThread* watcher = gLossWatcher.load();
    if (watcher != nullptr) SgWakeThread(watcher);
}

void FreeContainer(SgObject* container) {
    if (container != nullptr) SgDisposeObject(container, kSgFreeAlways);
}

// Releases whatever the channel holds, in the order of a shutdown.
void ReleaseChannel() {
    if (gChannel.completionPort != nullptr) CloseHandle(gChannel.completionPort);
    gChannel.completionPort = nullptr;
    if (gChannel.port != nullptr && gChannel.port != INVALID_HANDLE_VALUE) CloseHandle(gChannel.port);
    gChannel.port = nullptr;
    if (gChannel.loadedFltlib && gChannel.fltlib != nullptr) FreeLibrary(gChannel.fltlib);
    gChannel.fltlib = nullptr;
    gChannel.loadedFltlib = false;
    SgClearRouter();
    FreeContainer(gChannel.startQueue ? &gChannel.startQueue->header : nullptr);
    gChannel.startQueue = nullptr;
    FreeContainer(gChannel.pending ? &gChannel.pending->header : nullptr);
    gChannel.pending = nullptr;
    SgDestroyAndFreeThread(&gChannel.thread);
    if (gChannel.buffers != nullptr) {
        for (uint32_t i = 0; i < gChannel.bufferCount; ++i) {
            if (gChannel.buffers[i] != nullptr) SgFreeMem(gChannel.buffers[i]);
        }
        SgFreeMem(gChannel.buffers);
        gChannel.buffers = nullptr;
    }
    if (gChannel.context != nullptr) SgFreeMem(gChannel.context);
    gChannel.context = nullptr;
    if (gChannel.locksReady) {
        DeleteCriticalSection(&gPendingLock);
        DeleteCriticalSection(&gQueueLock);
        gChannel.locksReady = false;
    }
}

const char* StartMessageFailure(uint32_t status) {
    switch (status) {
        case kCommInvalidMessage:
            return "Failure sending start message: invalid message";
        case kCommNotRegistered:
            return "Failure sending start message: not registered";
        case kCommUnsupportedMessage:
            return "Failure sending start message: unsupported message";
        case kCommUnknownProcess:
            return "Failure sending start message: unknown process";
        case kCommUnknownComponent:
            return "Failure sending start message: unknown component ID";
        case kCommUnknownCommand:
            return "Failure sending start message: unknown command";
        case kCommRequestFailed:
            return "Failure sending start message: request failed";
        case kCommQueueFull:
            return "Failure sending start message: destination queue full";
        default:
            return "Unable to send queued start message";
    }
}

void DrainStartQueue() {
    SgList* local = SgCreateList();
    if (local == nullptr) return;
    EnterCriticalSection(&gQueueLock);
    SgListMoveAll(local, gChannel.startQueue);
    LeaveCriticalSection(&gQueueLock);
    while (SgObject* object = SgListPopHead(local)) {
        auto* entry = reinterpret_cast<RequestEntry*>(object);
        uint32_t status = SgSendMessage(entry->message);
        if (status == kCommSuccess) {
            GetSystemTimeAsFileTime(&entry->sentTime);
            EnterCriticalSection(&gPendingLock);
            bool inserted = SgHashInsert(gChannel.pending, &entry->header);
            LeaveCriticalSection(&gPendingLock);
            if (!inserted) DisposeRequestEntry(entry);
            continue;
        }
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "%s", StartMessageFailure(status));
        if (status == kCommQueueFull) {
            // Tried first on the next pass; this pass goes on with the following entries.
            EnterCriticalSection(&gQueueLock);
            SgListPushHead(gChannel.startQueue, &entry->header);
            LeaveCriticalSection(&gQueueLock);
        } else {
            DisposeRequestEntry(entry);
        }
    }
    EnterCriticalSection(&gQueueLock);
    SgListMoveAll(gChannel.startQueue, local);
    LeaveCriticalSection(&gQueueLock);
    SgDisposeObject(&local->header, kSgFreeAlways);
}

enum class ReceiveResult { kNothing, kMessage, kFailedAtOnce };

// Receives one message into `buffer`, waiting at most `timeoutMicros`. Keeps the receive
// outstanding through *pending across a wait that dequeued nothing, so that only one is ever issued.
ReceiveResult ReceiveOne(uint32_t index, uint8_t* buffer, bool* pending, int64_t timeoutMicros, SgMessage** out) {
    *out = nullptr;
    auto* overlapped = reinterpret_cast<OVERLAPPED*>(buffer + kOverlappedOffset);
    if (!*pending) {
        memset(buffer, 0, kReceiveLength);
        memset(overlapped, 0, sizeof(*overlapped));
        HRESULT hr = kHresultAborted;
        // Issued under the thread's lock: a stop clears the run flag under the same lock and
        // then cancels, so a receive is either never issued after a stop or cancelled by it.
        EnterCriticalSection(&gChannel.thread->lock);
        if (gChannel.thread->runFlag && gChannel.port != nullptr) {
            hr = gChannel.get(gChannel.port, buffer, kReceiveLength, overlapped);
        }
        LeaveCriticalSection(&gChannel.thread->lock);
        if (hr == kHresultAborted) return ReceiveResult::kNothing;
        if (hr == S_OK) {
            SgDebugPrint(SG_FAC_FILESCAN, SG_LVL_ERROR,
                         "[%lu] FilterGetMessage returned S_OK instead of ERROR_IO_PENDING",
                         static_cast<unsigned long>(index));
            return ReceiveResult::kFailedAtOnce;
        }
        if (hr == kHresultInvalidHandle) {
            PortLost();
            return ReceiveResult::kNothing;
        }
        if (hr != kHresultIoPending) {
            SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "[%lu] Unable to get communications message - error 0x%08X",
                         static_cast<unsigned long>(index), static_cast<unsigned>(hr));
            return ReceiveResult::kFailedAtOnce;
        }
    }
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* completed = nullptr;
    DWORD millis = static_cast<DWORD>(timeoutMicros / 1000);
    if (!GetQueuedCompletionStatus(gChannel.completionPort, &bytes, &key, &completed, millis)) {
        DWORD error = GetLastError();
        // A wait that dequeued no packet leaves the receive outstanding, whatever the error:
        // the next pass waits for it again rather than issue a second into the same buffer.
        *pending = completed == nullptr;
        if (completed == nullptr && error == WAIT_TIMEOUT) return ReceiveResult::kNothing;
        if (error == ERROR_OPERATION_ABORTED) return ReceiveResult::kNothing;
        if (error == ERROR_INVALID_HANDLE) {
            // The completion port itself is no longer valid: it is forgotten, never closed.
            gChannel.completionPort = nullptr;
            PortLost();
            return ReceiveResult::kNothing;
        }
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "[%lu] Error receiving message - error %lu",
                     static_cast<unsigned long>(index), static_cast<unsigned long>(error));
        return ReceiveResult::kFailedAtOnce;
    }
    *pending = false;
    uint8_t* owner = reinterpret_cast<uint8_t*>(completed) - kOverlappedOffset;
    if (owner != buffer) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "[%lu] Recv buffers do not match 0x%p != 0x%p",
                     static_cast<unsigned long>(index), static_cast<void*>(owner), static_cast<void*>(buffer));
        return ReceiveResult::kNothing;
    }
    SgMessage* m = SgAcceptReceivedFrame(index, buffer, bytes);
    if (m == nullptr) return ReceiveResult::kNothing;
    *out = m;
    return ReceiveResult::kMessage;
}

DWORD WINAPI CommunicationsThread(LPVOID parameter) {
    SgThread* self = gChannel.thread;
    if (self == nullptr) return 0xFFFFFFFF;
    uint32_t index = parameter != nullptr ? *static_cast<const uint32_t*>(parameter) : 0;
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "[%lu] Communications thread starting", static_cast<unsigned long>(index));
    SgThreadEnter(self);
    int64_t now = SgGetTimeMicros(0);
    gChannel.nextDeadline = static_cast<uint64_t>(now) + gChannel.interval;
    uint8_t* buffer = gChannel.buffers[index];
    memcpy(buffer + kOwnerOffset, &index, sizeof(index));
    bool pending = false;
    while (SgThreadShouldRun(self)) {
        DrainStartQueue();
        now = SgGetTimeMicros(now);
        int64_t deadline = static_cast<int64_t>(gChannel.nextDeadline);
        int64_t remaining = deadline > now ? deadline - now : 0;
        if (remaining > 0) {
            SgMessage* message = nullptr;
            ReceiveResult result = ReceiveOne(index, buffer, &pending, remaining, &message);
            if (result == ReceiveResult::kMessage) {
                if (SgMessageHeader(message)->type != kTypeCommand || SgRouteMessage(message) != kCommSuccess) {
                    SgDestroyMessage(message);
                }
            } else if (result == ReceiveResult::kFailedAtOnce) {
                // A receive that fails at once would otherwise be retried in a tight loop:
                // the next try waits for the housekeeping deadline (or a stop).
                SgThreadWait(self, remaining);
            }
            now = SgGetTimeMicros(now);
            remaining = deadline > now ? deadline - now : 0;
        }
        if (remaining == 0) {
            SgDebugPrint(SG_FAC_PROC, SG_LVL_DEBUG, "Communications housekeeping %llu",
                         static_cast<unsigned long long>(now));
            gChannel.nextDeadline = static_cast<uint64_t>(now) + gChannel.interval;
        }
    }
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "[%lu] Communications thread ending", static_cast<unsigned long>(index));
    SgThreadExit(self);
}

// Delivers a reply to the request waiting for it.
void DeliverReply(SgMessage* reply) {
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Received command reply");
    CommandMsg* command = SgCommandOf(reply);
    uint32_t id = command->requestId;
    EnterCriticalSection(&gPendingLock);
    auto* entry = reinterpret_cast<RequestEntry*>(SgHashLookup(gChannel.pending, id & 63, &id));
    if (entry != nullptr && entry->waiterAttached) entry = nullptr;
    if (entry != nullptr) entry->busy = 1;
    LeaveCriticalSection(&gPendingLock);
    if (entry == nullptr) return;

    if (entry->callback != nullptr) {
        bool usable =
            reply->payload != nullptr && reply->payloadLength > 0 && reply->payload[reply->payloadLength - 1] == '\0';
        if (usable) {
            entry->callback(kCommSuccess, reinterpret_cast<const char*>(reply->payload), entry->replyContext);
        } else {
            SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Command reply is not valid");
            entry->callback(kCommInvalidMessage, nullptr, entry->replyContext);
        }
    }
    EnterCriticalSection(&gPendingLock);
    if (entry->waiterAttached) {
        SetEvent(entry->waiterEvent);
        LeaveCriticalSection(&gPendingLock);
    } else if (command->flags & kFlagFinal) {
        SgHashRemove(gChannel.pending, &entry->header);
        LeaveCriticalSection(&gPendingLock);
        DisposeRequestEntry(entry);
    } else {
        GetSystemTimeAsFileTime(&entry->lastReplyTime);
        entry->busy = 0;
        LeaveCriticalSection(&gPendingLock);
    }
}

}  // namespace

bool SgInitAsyncComms() {
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Initialize async communications");
    memset(&gChannel, 0, sizeof(gChannel));
    gChannel.interval = kHousekeepingInterval;
    gChannel.componentId = kServiceComponentId;
    gChannel.retryLimit = kQueueFullRetryLimit;
    gChannel.bufferCount = 1;
    gChannel.bufferSize = kReceiveBufferSize;

    gChannel.buffers = static_cast<uint8_t**>(SgAllocMem(sizeof(uint8_t*) * gChannel.bufferCount));
    if (gChannel.buffers == nullptr) return false;
    memset(gChannel.buffers, 0, sizeof(uint8_t*) * gChannel.bufferCount);
    for (uint32_t i = 0; i < gChannel.bufferCount; ++i) {
        gChannel.buffers[i] = static_cast<uint8_t*>(SgAllocMem(gChannel.bufferSize));
        if (gChannel.buffers[i] == nullptr) {
            ReleaseChannel();
            return false;
        }
    }

    gChannel.context = static_cast<RegRequestMsg*>(SgAllocMem(sizeof(RegRequestMsg)));
    if (gChannel.context == nullptr) {
        ReleaseChannel();
        return false;
    }
    memset(gChannel.context, 0, sizeof(RegRequestMsg));
    gChannel.context->header = {kHeaderVersion, 0, kTypeRegRequest, kTagContext, kRegRequestSize};
    gChannel.context->bodyVersion = kBodyVersion;
    gChannel.context->contextMarker = 1;
    gChannel.context->componentId = kServiceComponentId;

    gChannel.fltlib = SgObtainFltlib(&gChannel.loadedFltlib);
    if (gChannel.fltlib == nullptr) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Error: Unable to open fltlib.dll 0x%08X",
                     static_cast<unsigned>(GetLastError()));
        ReleaseChannel();
        return false;
    }
    gChannel.connect = SgResolve<PFN_FilterConnectCommunicationPort>(gChannel.fltlib, "FilterConnectCommunicationPort");
    gChannel.send = SgResolve<PFN_FilterSendMessage>(gChannel.fltlib, "FilterSendMessage");
    gChannel.get = SgResolve<PFN_FilterGetMessage>(gChannel.fltlib, "FilterGetMessage");
    gChannel.reply = SgResolve<PFN_FilterReplyMessage>(gChannel.fltlib, "FilterReplyMessage");
    if (!gChannel.connect || !gChannel.send || !gChannel.get || !gChannel.reply) {
        ReleaseChannel();
        return false;
    }
    HMODULE kernel32 = GetModuleHandleW(L"Kernel32.dll");
    if (kernel32 == nullptr) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Error: Could not get handle for Kernel32");
        ReleaseChannel();
        return false;
    }
    gChannel.cancelIoEx = SgResolve<PFN_CancelIoEx>(kernel32, "CancelIoEx");
    if (gChannel.cancelIoEx == nullptr) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Error: CancelIoEx function is not availble");
        ReleaseChannel();
        return false;
    }

    HANDLE port = nullptr;
    HRESULT hr = gChannel.connect(kAsyncPortName, 0, gChannel.context, sizeof(RegRequestMsg), nullptr, &port);
    if (FAILED(hr)) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "Unable to open async communications port - error 0x%08X",
                     static_cast<unsigned>(hr));
        ReleaseChannel();
        return false;
    }
    gChannel.port = port;
    gChannel.completionPort = CreateIoCompletionPort(port, nullptr, 0, 2);
    if (gChannel.completionPort == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "Unable to create I/O completion port - error 0x%08X",
                     static_cast<unsigned>(HresultFromWin32(GetLastError())));
        ReleaseChannel();
        return false;
    }

    uint32_t index = 0;
    gChannel.thread = SgCreateThread(CommunicationsThread, &index, sizeof(index));
    gChannel.startQueue = SgCreateList();
    gChannel.pending = SgCreateHashTable();
    if (gChannel.thread == nullptr || gChannel.startQueue == nullptr || gChannel.pending == nullptr) {
        ReleaseChannel();
        return false;
    }
    gChannel.pending->compareElements = CompareEntries;
    gChannel.pending->compareKey = CompareEntryKey;
    gChannel.pending->freeMode = kSgFreeAlways;
    if (!SgSetHashBuckets(gChannel.pending, kPendingBuckets)) {
        ReleaseChannel();
        return false;
    }
    InitializeCriticalSection(&gQueueLock);
    InitializeCriticalSection(&gPendingLock);
    gChannel.locksReady = true;
    SgSetRouter(SgRouteMessage);
    SgFreeMem(gChannel.context);
    gChannel.context = nullptr;

    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Registering with NVX driver...");
    SgMessage* registration = SgCreateRegistrationMessage(kServiceComponentId);
    uint32_t status = kCommGeneralFailure;
    if (registration == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "Unable to create a registration message");
    } else {
        status = SgSendMessage(registration);
        if (status != kCommSuccess) {
            SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "Unable to send a registration message (0x%X)",
                         static_cast<unsigned>(status));
        }
        SgDestroyMessage(registration);
    }
    if (status != kCommSuccess) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Registration failed");
        ReleaseChannel();
        return false;
    }
    return true;
}

bool SgStartCommsThread() {
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Starting communications thread...");
    if (gChannel.thread == nullptr) return false;
    return SgStartThread(gChannel.thread);
}

void SgStopCommsThread() {
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Stopping communications thread...");
    if (gChannel.thread == nullptr) return;
    EnterCriticalSection(&gChannel.thread->lock);
    gChannel.thread->runFlag = 0;
    LeaveCriticalSection(&gChannel.thread->lock);
    SgWakeThread(gChannel.thread);  // ends a handler's wait for a process (the WSC client)
    // The port handle stays open until SgShutdownAsyncComms, which runs only after the thread
    // has ended, so this cancel never reaches a closed (or reused) handle.
    if (gChannel.port != nullptr && gChannel.cancelIoEx != nullptr) gChannel.cancelIoEx(gChannel.port, nullptr);
}

bool SgCommsThreadExists() { return gChannel.thread != nullptr; }

SgThread* SgGetCommsThread() { return gChannel.thread; }

void SgWaitCommsThreadEnd() {
    if (gChannel.thread != nullptr) SgWaitThreadEnd(gChannel.thread);
}

void SgShutdownAsyncComms() {
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Shutdown async communications");
    ReleaseChannel();
    InterlockedExchange(&gChannel.portLost, 0);
}

bool SgAsyncChannelLost() { return InterlockedCompareExchange(&gChannel.portLost, 0, 0) != 0; }

void SgWatchAsyncChannelLoss(SgThread* watcher) { gLossWatcher.store(watcher); }

uint32_t SgSendMessage(SgMessage* message) {
    if (message == nullptr || message->message == nullptr) return kCommInvalidMessage;
    uint32_t size = SgMessageHeader(message)->size;
    if (size <= sizeof(MsgHeader)) return kCommInvalidMessage;
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "Sending %d bytes", static_cast<int>(size));
    if (gChannel.send == nullptr || gChannel.port == nullptr) return kCommGeneralFailure;
    uint32_t status = 0;
    DWORD returned = 0;
    HRESULT hr = gChannel.send(gChannel.port, message->message, size, &status, sizeof(status), &returned);
    if (hr == kHresultInvalidHandle) {
        PortLost();
        return kCommGeneralFailure;
    }
    if (hr == S_OK && returned == sizeof(status)) return status;
    return kCommGeneralFailure;
}

uint32_t SgRouteMessage(SgMessage* message) {
    if (message == nullptr || message->message == nullptr) return kCommGeneralFailure;
    MsgHeader* header = SgMessageHeader(message);
    CommandMsg* command = SgCommandOf(message);
    if (header->type != kTypeCommand || header->size <= kCommandFixedSize || command->bodyVersion != kBodyVersion) {
        return kCommGeneralFailure;
    }
    if (message->outgoing) {
        command->sourceComponentId = kServiceComponentId;
        command->sourceProcessId = 0;
        command->sourceProcessKey = 0;
        message->outgoing = 0;
    }
    if (command->destinationComponentId != kServiceComponentId) {
        uint32_t status = kCommQueueFull;
        for (uint32_t attempt = 0; attempt < kQueueFullRetryLimit; ++attempt) {
            if (attempt > 0) Sleep(10);
            status = SgSendMessage(message);
            if (status != kCommQueueFull) break;
        }
        if (status != kCommSuccess) {
            SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "Error routing message to kernel 0x%08X",
                         static_cast<unsigned>(status));
            return status;
        }
        SgDestroyMessage(message);
        return kCommSuccess;
    }
    if (!(command->flags & kFlagReply)) {
        return SgExecuteCommand(message) ? kCommSuccess : kCommUnknownCommand;
    }
    DeliverReply(message);
    SgDestroyMessage(message);
    return kCommSuccess;
}

bool SgQueueStartMessage(SgMessage* message, SgReplyCallback callback, void* context, uint32_t* requestId) {
    if (message == nullptr || gChannel.startQueue == nullptr || !gChannel.locksReady) return false;
    auto* entry = static_cast<RequestEntry*>(SgAllocMem(sizeof(RequestEntry)));
    if (entry == nullptr) return false;
    memset(entry, 0, sizeof(*entry));
    entry->header.size = sizeof(RequestEntry);
    entry->header.destroy = DestroyRequestEntry;
    uint32_t id = static_cast<uint32_t>(InterlockedIncrement(&gNextRequestId));
    entry->requestId = id;
    entry->header.bucket = id & 63;
    entry->message = message;
    entry->callback = callback;
    entry->replyContext = context;
    // Queued requests go straight to the port, not through the router: stamp them here.
    CommandMsg* command = SgCommandOf(message);
    command->requestId = id;
    if (message->outgoing) {
        command->sourceComponentId = kServiceComponentId;
        command->sourceProcessId = 0;
        command->sourceProcessKey = 0;
        message->outgoing = 0;
    }
    if (requestId != nullptr) *requestId = id;
    EnterCriticalSection(&gQueueLock);
    SgListAppend(gChannel.startQueue, &entry->header);
    LeaveCriticalSection(&gQueueLock);
    return true;
}
