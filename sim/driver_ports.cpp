// The driver simulator's ports (see driver_ports.h).
//
// Each port keeps one pipe instance listening (ListenThread). A client that connects to it gets
// a thread of its own (InstanceThread), which reads the first frame: a ConnectRequest makes the
// instance a connection's message pipe (ServeConnection), an AttachRequest makes it the send
// pipe of the connection it names (ServeSends).
#include "sim/driver_ports.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "comms/wire_format.h"
#include "sim/driver_decoder.h"
#include "sim/pipe_protocol.h"

namespace w = nvx_wire;
namespace pp = nvxsim_pipe;
using nvxsim::GetRecord;
using nvxsim::Hex32;
using nvxsim::HexOf;
using nvxsim::Json;
using nvxsim::PutRecord;
using nvxsim::Win32Hr;

namespace nvxdriver {

// One connection of the service. `id` and `port` are fixed once it is known.
struct Connection {
    uint32_t id = 0;
    int port = kAsync;
    std::vector<uint8_t> context;
    HANDLE closeEvent = nullptr;  // manual reset: the driver ends this connection
    bool attached = false;        // the send pipe is there (under the ports' lock)
    bool sendOpen = false;        // the send pipe's end here is still open (under the ports' lock)
    SRWLOCK writeLock = SRWLOCK_INIT;
    HANDLE messagePipe = INVALID_HANDLE_VALUE;  // under writeLock once attached
    bool closed = false;                        // under writeLock
    uint64_t nextMessageId = 1;                 // under writeLock

    ~Connection() {
        if (closeEvent != nullptr) CloseHandle(closeEvent);
    }
};

namespace {

constexpr DWORD kPipeBuffer = 0x100000;
constexpr HRESULT kNoWaiterForReply = static_cast<HRESULT>(0x801F0020);  // ERROR_FLT_NO_WAITER_FOR_REPLY

const wchar_t* const kPortNames[2] = {w::kAsyncPortName, w::kSyncPortName};
const char* const kPortLabels[2] = {"async", "sync"};

std::wstring gInstance;
HANDLE gUnloadEvent = nullptr;
Recorder* gJournal = nullptr;

SRWLOCK gLock = SRWLOCK_INIT;
CONDITION_VARIABLE gChanged = CONDITION_VARIABLE_INIT;  // connections and replies
std::vector<std::shared_ptr<Connection>> gConnections;
std::vector<ReplyWaiter*> gWaiters;
uint32_t gNextConnectionId = 1;
SendAnswer gAnswer;  // gAnswer.count: how many sends it is left for
bool gPortsOpen = false;

// ---- pipe I/O

// Completes an overlapped operation that was started with result `started`. Gives up (and
// cancels it) when one of the stop events is signalled or after timeoutMs: ERROR_OPERATION_ABORTED
// or ERROR_TIMEOUT. An operation that completed anyway counts as done.
bool Finish(HANDLE h, OVERLAPPED* ov, BOOL started, DWORD* got, HANDLE stop1, HANDLE stop2, DWORD timeoutMs,
            DWORD* error) {
    *got = 0;
    if (!started) {
        DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) {
            if (e == ERROR_MORE_DATA) GetOverlappedResult(h, ov, got, FALSE);
            *error = e;
            return false;
        }
    } else {
        // Done already (a write the pipe's buffer took, a read of a message that was there): no
        // wait, which under Wine is one more round trip to the wineserver per pipe operation.
        if (GetOverlappedResult(h, ov, got, FALSE)) return true;
        *error = GetLastError();
        return false;
    }
    HANDLE handles[3] = {ov->hEvent, nullptr, nullptr};
    DWORD count = 1;
    if (stop1 != nullptr) handles[count++] = stop1;
    if (stop2 != nullptr) handles[count++] = stop2;
    DWORD wait = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (wait != WAIT_OBJECT_0) {
        CancelIoEx(h, ov);
        if (GetOverlappedResult(h, ov, got, TRUE)) return true;
        *error = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED;
        return false;
    }
    if (GetOverlappedResult(h, ov, got, FALSE)) return true;
    *error = GetLastError();
    return false;
}

// Reads one whole message from an overlapped message-mode pipe.
bool ReadMessage(HANDLE pipe, std::vector<uint8_t>* out, HANDLE stop1, HANDLE stop2, DWORD* error) {
    out->clear();
    std::vector<uint8_t> chunk(0x10000);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool done = false;
    for (;;) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        ResetEvent(event);
        BOOL started = ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), nullptr, &ov);
        DWORD got = 0;
        DWORD e = 0;
        if (Finish(pipe, &ov, started, &got, stop1, stop2, INFINITE, &e)) {
            out->insert(out->end(), chunk.begin(), chunk.begin() + got);
            done = true;
            break;
        }
        if (e != ERROR_MORE_DATA) {
            *error = e;
            break;
        }
        out->insert(out->end(), chunk.begin(), chunk.begin() + got);
    }
    CloseHandle(event);
    return done;
}

bool WriteMessage(HANDLE pipe, const std::vector<uint8_t>& data, HANDLE stop1, HANDLE stop2, DWORD timeoutMs,
                  DWORD* error) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    BOOL started = WriteFile(pipe, data.data(), static_cast<DWORD>(data.size()), nullptr, &ov);
    DWORD got = 0;
    bool done = Finish(pipe, &ov, started, &got, stop1, stop2, timeoutMs, error);
    CloseHandle(event);
    if (done && got != data.size()) {
        *error = ERROR_WRITE_FAULT;
        done = false;
    }
    return done;
}

std::vector<uint8_t> Answer(HRESULT hr, const std::vector<uint8_t>& output) {
    std::vector<uint8_t> answer;
    PutRecord(answer, pp::CallAnswer{static_cast<uint32_t>(hr), static_cast<uint32_t>(output.size())});
    answer.insert(answer.end(), output.begin(), output.end());
    return answer;
}

// ---- what the service sends

void NotifyReply(uint32_t requestId, uint8_t flags, const std::string& line) {
    AcquireSRWLockExclusive(&gLock);
    for (ReplyWaiter* waiter : gWaiters) {
        if (waiter->requestId != requestId) continue;
        waiter->replies.push_back(line);
        if (flags & w::kFlagFinal) waiter->final = true;
    }
    ReleaseSRWLockExclusive(&gLock);
    WakeAllConditionVariable(&gChanged);
}

// One FilterSendMessage of the service: the output it gets, recorded before it is answered.
std::vector<uint8_t> HandleSend(const Connection& c, uint32_t outCapacity, const uint8_t* p, size_t n) {
    Json j;
    j.Str("port", kPortLabels[c.port]).Num("conn", c.id).Num("size", n).Num("out_size", outCapacity);
    HRESULT hr = S_OK;
    std::vector<uint8_t> output;
    uint32_t status = 0;
    if (c.port == kAsync) {
        SendAnswer chosen;
        AcquireSRWLockExclusive(&gLock);
        if (gAnswer.count > 0) {
            chosen = gAnswer;
            --gAnswer.count;
        }
        ReleaseSRWLockExclusive(&gLock);
        status = chosen.status;
        if (chosen.count == 0 && outCapacity < w::kSendStatusSize) {
            hr = Win32Hr(ERROR_INSUFFICIENT_BUFFER);
        } else {
            hr = static_cast<HRESULT>(chosen.hresult);
            nvxsim::PutU32(output, status);
            // Cut short or padded with zeros, and never more than the caller's buffer takes.
            output.resize(std::min(chosen.length, outCapacity), 0);
        }
    } else {
        w::MsgHeader h{};
        if (n >= sizeof h) memcpy(&h, p, sizeof h);
        const bool valid = n == w::kSyncRequestSize && h.version == w::kHeaderVersion &&
                           h.type == w::kTypeSyncRequest && h.size == w::kSyncRequestSize;
        w::SyncReplyMsg reply{};
        reply.version = w::kHeaderVersion;
        reply.type = w::kTypeSyncRequest;
        reply.size = w::kSyncReplySize;
        reply.status = valid ? w::kCommSuccess : w::kCommInvalidMessage;
        reply.field12 = valid ? 16 : 0;
        status = reply.status;
        if (outCapacity < sizeof reply) {
            hr = Win32Hr(ERROR_INSUFFICIENT_BUFFER);
        } else {
            PutRecord(output, reply);
        }
    }
    if (hr != S_OK) j.Str("hresult", Hex32(static_cast<uint32_t>(hr)));
    if (SUCCEEDED(hr) || !output.empty()) j.Str("status", Hex32(status));
    j.Num("out_count", output.size());
    const Json message = Decode(p, n);
    j.Str("hex", HexOf(p, n)).Raw("msg", message.Text());
    gJournal->Write(kEventFromService, j);

    if (c.port == kAsync && hr == S_OK && output.size() == w::kSendStatusSize && status == w::kCommSuccess &&
        n >= sizeof(w::CommandMsg) && p[offsetof(w::MsgHeader, type)] == w::kTypeCommand) {
        w::CommandMsg m;
        memcpy(&m, p, sizeof m);
        if (m.flags & w::kFlagReply) {
            Json line;
            line.Str("event", "reply").Num("conn", c.id).Raw("msg", message.Text());
            NotifyReply(m.requestId, m.flags, line.Text());
        }
    }
    return Answer(hr, output);
}

std::vector<uint8_t> HandleFrame(const Connection& c, const std::vector<uint8_t>& frame) {
    pp::SendRequest send;
    if (GetRecord(frame, &send) && send.op == pp::kOpSend) {
        return HandleSend(c, send.outputCapacity, frame.data() + sizeof send, frame.size() - sizeof send);
    }
    pp::ReplyRequest reply;
    if (GetRecord(frame, &reply) && reply.op == pp::kOpReply) {
        const uint8_t* bytes = frame.data() + sizeof reply;
        const size_t size = frame.size() - sizeof reply;
        Json j;
        j.Str("port", kPortLabels[c.port]).Num("conn", c.id).Num("size", size);
        j.Str("hex", HexOf(bytes, size)).Str("hresult", Hex32(static_cast<uint32_t>(kNoWaiterForReply)));
        gJournal->Write(kEventReplyMessage, j);
        return Answer(kNoWaiterForReply, {});
    }
    return Answer(E_INVALIDARG, {});
}

// ---- connections

void RemoveConnection(const std::shared_ptr<Connection>& c) {
    AcquireSRWLockExclusive(&gLock);
    gConnections.erase(std::remove(gConnections.begin(), gConnections.end(), c), gConnections.end());
    ReleaseSRWLockExclusive(&gLock);
    WakeAllConditionVariable(&gChanged);
}

// The message pipe of a connection: answers the connection, then watches it until the service
// closes its port or the driver ends the connection.
void ServeConnection(HANDLE pipe, int port, const std::vector<uint8_t>& frame) {
    DWORD error;
    pp::ConnectRequest request;
    if (!GetRecord(frame, &request) || frame.size() - sizeof request != request.contextSize) {
        std::vector<uint8_t> refused;
        PutRecord(refused, pp::ConnectAnswer{static_cast<uint32_t>(E_INVALIDARG), 0});
        WriteMessage(pipe, refused, gUnloadEvent, nullptr, kDefaultWriteWaitMs, &error);
        CloseHandle(pipe);
        return;
    }
    auto c = std::make_shared<Connection>();
    c->port = port;
    c->messagePipe = pipe;
    c->closeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    c->context.assign(frame.begin() + sizeof request, frame.end());
    AcquireSRWLockExclusive(&gLock);
    c->id = gNextConnectionId++;
    gConnections.push_back(c);
    ReleaseSRWLockExclusive(&gLock);

    Json j;
    j.Str("port", kPortLabels[port]).Num("conn", c->id).Num("options", request.options);
    j.Num("context_size", c->context.size());
    if (!c->context.empty()) {
        j.Str("context_hex", HexOf(c->context.data(), c->context.size()));
        j.Raw("context", Decode(c->context.data(), c->context.size()).Text());
    }
    gJournal->Write(kEventConnect, j);

    std::vector<uint8_t> accepted;
    PutRecord(accepted, pp::ConnectAnswer{static_cast<uint32_t>(S_OK), c->id});
    bool byService = true;
    if (WriteMessage(pipe, accepted, c->closeEvent, gUnloadEvent, kDefaultWriteWaitMs, &error)) {
        // The service never writes here after connecting; a read ends when its port closes.
        std::vector<uint8_t> ignored;
        while (ReadMessage(pipe, &ignored, c->closeEvent, gUnloadEvent, &error)) {
        }
        byService = error != ERROR_OPERATION_ABORTED;
    }

    AcquireSRWLockExclusive(&c->writeLock);
    c->closed = true;
    CloseHandle(c->messagePipe);
    c->messagePipe = INVALID_HANDLE_VALUE;
    ReleaseSRWLockExclusive(&c->writeLock);
    SetEvent(c->closeEvent);  // ends the send pipe too
    Json gone;
    gone.Str("port", kPortLabels[port]).Num("conn", c->id).Str("by", byService ? "service" : "driver");
    gJournal->Write(kEventDisconnect, gone);
    RemoveConnection(c);
}

// The send pipe of a connection: one answer per FilterSendMessage / FilterReplyMessage.
void ServeSends(HANDLE pipe, int port, uint32_t id) {
    std::shared_ptr<Connection> c;
    AcquireSRWLockExclusive(&gLock);
    for (const auto& candidate : gConnections) {
        if (candidate->id == id && candidate->port == port && !candidate->attached) {
            candidate->attached = true;
            candidate->sendOpen = true;
            c = candidate;
        }
    }
    ReleaseSRWLockExclusive(&gLock);
    WakeAllConditionVariable(&gChanged);

    std::vector<uint8_t> answer;
    PutRecord(answer, pp::AttachAnswer{static_cast<uint32_t>(c ? S_OK : Win32Hr(ERROR_INVALID_HANDLE))});
    DWORD error;
    HANDLE stop = c ? c->closeEvent : nullptr;
    if (WriteMessage(pipe, answer, stop, gUnloadEvent, kDefaultWriteWaitMs, &error) && c) {
        std::vector<uint8_t> frame;
        while (ReadMessage(pipe, &frame, c->closeEvent, gUnloadEvent, &error) &&
               frame.size() >= sizeof(pp::ReplyRequest)) {
            answer = HandleFrame(*c, frame);
            if (!WriteMessage(pipe, answer, c->closeEvent, gUnloadEvent, INFINITE, &error)) break;
        }
    }
    CloseHandle(pipe);
    if (c) {
        AcquireSRWLockExclusive(&gLock);
        c->sendOpen = false;
        ReleaseSRWLockExclusive(&gLock);
        WakeAllConditionVariable(&gChanged);
    }
}

// ---- listening

struct NewInstance {
    HANDLE pipe;
    int port;
};

DWORD WINAPI InstanceThread(void* arg) {
    std::unique_ptr<NewInstance> instance(static_cast<NewInstance*>(arg));
    std::vector<uint8_t> frame;
    DWORD error;
    pp::AttachRequest first;  // the smallest first frame: op and one word
    if (!ReadMessage(instance->pipe, &frame, gUnloadEvent, nullptr, &error) || !GetRecord(frame, &first)) {
        CloseHandle(instance->pipe);
        return 0;
    }
    if (first.op == pp::kOpConnect) {
        ServeConnection(instance->pipe, instance->port, frame);
    } else if (first.op == pp::kOpAttach) {
        ServeSends(instance->pipe, instance->port, first.connectionId);
    } else {
        CloseHandle(instance->pipe);
    }
    return 0;
}

HANDLE CreatePortInstance(int port) {
    return CreateNamedPipeW(pp::PortPipeName(gInstance, kPortNames[port]).c_str(),
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                            kPipeBuffer, kPipeBuffer, 0, nullptr);
}

struct Listener {
    int port;
    HANDLE pipe;  // the first instance, created before the port is announced
};

// Keeps one instance of a port's pipe listening. The next instance exists before a connected
// one is handed to its own thread, so the port's name never disappears while the port is open.
DWORD WINAPI ListenThread(void* arg) {
    std::unique_ptr<Listener> listener(static_cast<Listener*>(arg));
    const int port = listener->port;
    HANDLE pipe = listener->pipe;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        if (pipe == INVALID_HANDLE_VALUE) {
            pipe = CreatePortInstance(port);
            if (pipe == INVALID_HANDLE_VALUE) {
                fprintf(stderr, "nvxdriver: cannot create a %s port instance: error %lu\n", kPortLabels[port],
                        GetLastError());
                if (WaitForSingleObject(gUnloadEvent, 200) == WAIT_OBJECT_0) break;
                continue;
            }
        }
        OVERLAPPED ov{};
        ov.hEvent = event;
        ResetEvent(event);
        const BOOL started = ConnectNamedPipe(pipe, &ov);
        const DWORD startError = started ? 0 : GetLastError();
        DWORD got;
        DWORD error = 0;
        bool connected = started || startError == ERROR_PIPE_CONNECTED;
        if (!connected && startError == ERROR_IO_PENDING) {
            SetLastError(startError);
            connected = Finish(pipe, &ov, FALSE, &got, gUnloadEvent, nullptr, INFINITE, &error);
        }
        if (!connected) {
            CloseHandle(pipe);
            pipe = INVALID_HANDLE_VALUE;
            if (WaitForSingleObject(gUnloadEvent, 0) == WAIT_OBJECT_0) break;
            continue;
        }
        HANDLE next = CreatePortInstance(port);
        HANDLE thread = CreateThread(nullptr, 0, InstanceThread, new NewInstance{pipe, port}, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
        pipe = next;
    }
    CloseHandle(event);
    return 0;
}

// Waits on gChanged (gLock held exclusively) until `done` or the deadline; the last `done`.
template <typename Done>
bool WaitLocked(ULONGLONG deadline, Done done) {
    for (;;) {
        if (done()) return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        SleepConditionVariableSRW(&gChanged, &gLock, static_cast<DWORD>(deadline - now), 0);
    }
}

}  // namespace

const char* PortLabel(int port) { return kPortLabels[port]; }

uint32_t ConnectionId(const Connection& c) { return c.id; }

void InitPorts(const std::wstring& instance, HANDLE unloadEvent, Recorder* journal) {
    gInstance = instance;
    gUnloadEvent = unloadEvent;
    gJournal = journal;
}

bool OpenPorts() {
    AcquireSRWLockExclusive(&gLock);
    const bool already = gPortsOpen;
    gPortsOpen = true;
    ReleaseSRWLockExclusive(&gLock);
    if (already) return false;
    for (int port : {kAsync, kSync}) {
        auto* listener = new Listener{port, CreatePortInstance(port)};
        HANDLE thread = CreateThread(nullptr, 0, ListenThread, listener, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
    return true;
}

void SetAnswer(const SendAnswer& answer) {
    AcquireSRWLockExclusive(&gLock);
    gAnswer = answer;
    ReleaseSRWLockExclusive(&gLock);
}

std::shared_ptr<Connection> TargetConnection(uint64_t id) {
    std::shared_ptr<Connection> found;
    AcquireSRWLockShared(&gLock);
    for (const auto& c : gConnections) {
        if (!c->attached) continue;
        if (id != 0 ? c->id == id : c->port == kAsync) found = c;  // the newest one
    }
    ReleaseSRWLockShared(&gLock);
    return found;
}

bool Deliver(Connection& c, const std::vector<uint8_t>& message, DWORD waitMs, uint64_t* messageId,
             std::string* problem, bool wholeFrame) {
    std::vector<uint8_t> frame;
    AcquireSRWLockExclusive(&c.writeLock);
    bool done = false;
    *messageId = 0;
    if (c.closed) {
        *problem = "connection " + std::to_string(c.id) + " is closed";
    } else {
        if (!wholeFrame) {
            w::FilterMessageHeader header{};
            header.replyLength = 0;  // nothing the driver sends waits for a reply message
            header.messageId = c.nextMessageId++;
            PutRecord(frame, header);
            *messageId = header.messageId;
        }
        frame.insert(frame.end(), message.begin(), message.end());
        DWORD error = 0;
        done = WriteMessage(c.messagePipe, frame, nullptr, nullptr, waitMs, &error);
        if (!done) {
            *problem =
                error == ERROR_TIMEOUT
                    ? "the service did not take the message within " + std::to_string(waitMs) + " ms"
                    : "writing to connection " + std::to_string(c.id) + " failed: error " + std::to_string(error);
        }
    }
    ReleaseSRWLockExclusive(&c.writeLock);
    if (done) {
        // A whole frame is recorded as it went; its message is what follows a full header.
        const size_t header = wholeFrame ? std::min(message.size(), sizeof(w::FilterMessageHeader)) : 0;
        Json j;
        j.Str("port", kPortLabels[c.port]).Num("conn", c.id).Num("message_id", *messageId).Num("size", message.size());
        if (wholeFrame) j.Bool("frame", true);
        j.Str("hex", HexOf(message.data(), message.size()));
        j.Raw("msg", Decode(message.data() + header, message.size() - header).Text());
        gJournal->Write(kEventToService, j);
    }
    return done;
}

void WatchReplies(ReplyWaiter* waiter) {
    AcquireSRWLockExclusive(&gLock);
    gWaiters.push_back(waiter);
    ReleaseSRWLockExclusive(&gLock);
}

void EndReplyWatch(ReplyWaiter* waiter, uint64_t waitMs) {
    AcquireSRWLockExclusive(&gLock);
    WaitLocked(GetTickCount64() + waitMs, [waiter] { return waiter->final; });
    gWaiters.erase(std::find(gWaiters.begin(), gWaiters.end(), waiter));
    ReleaseSRWLockExclusive(&gLock);
}

size_t Disconnect(int port) {
    std::vector<std::shared_ptr<Connection>> ending;
    AcquireSRWLockExclusive(&gLock);
    for (const auto& c : gConnections) {
        if (port == kAllPorts || c->port == port) ending.push_back(c);
    }
    ReleaseSRWLockExclusive(&gLock);
    for (const auto& c : ending) SetEvent(c->closeEvent);
    AcquireSRWLockExclusive(&gLock);
    WaitLocked(GetTickCount64() + kDefaultWriteWaitMs, [&ending] {
        for (const auto& c : ending) {
            if (c->sendOpen || std::find(gConnections.begin(), gConnections.end(), c) != gConnections.end()) {
                return false;
            }
        }
        return true;
    });
    ReleaseSRWLockExclusive(&gLock);
    return ending.size();
}

std::shared_ptr<Connection> WaitForConnection(int port, uint64_t timeoutMs) {
    std::shared_ptr<Connection> found;
    AcquireSRWLockExclusive(&gLock);
    WaitLocked(GetTickCount64() + timeoutMs, [port, &found] {
        for (const auto& c : gConnections) {
            if (c->port == port && c->attached) found = c;
        }
        return found != nullptr;
    });
    ReleaseSRWLockExclusive(&gLock);
    return found;
}

PortsStatus GetPortsStatus() {
    PortsStatus status;
    std::string list = "[";
    AcquireSRWLockShared(&gLock);
    for (const auto& c : gConnections) {
        Json item;
        item.Num("conn", c->id).Str("port", kPortLabels[c->port]).Bool("attached", c->attached);
        item.Str("context_hex", HexOf(c->context.data(), c->context.size()));
        list += (list.size() > 1 ? "," : "") + item.Text();
    }
    status.portsOpen = gPortsOpen;
    status.answer = gAnswer;
    ReleaseSRWLockShared(&gLock);
    status.connections = list + "]";
    return status;
}

}  // namespace nvxdriver
