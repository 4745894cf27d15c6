// The driver simulator's two communication ports, served to the fltlib.dll stand-in over the
// pipes of pipe_protocol.h, and the connections of the service on them.
//
// Guarantees:
//   - Once OpenPorts() returns, a connection to either port finds its pipe, and it keeps finding
//     one until the process ends (a new pipe instance exists before a connected one is handed on).
//   - Every send on the asynchronous port is answered S_OK with a 4-byte status: 0, or what
//     SetAnswer() chose for the next N sends (a status, and for hostile-driver tests an HRESULT
//     and an output length other than 4; never more output than the caller's buffer holds, as
//     the Filter Manager never writes past it). The synchronous port answers its 48-byte request
//     with a 32-byte SyncReplyMsg (status 0 when the request is well-formed, else
//     kCommInvalidMessage). A FilterReplyMessage is refused: nothing the driver sends waits for one.
//   - Everything on the ports is in the journal, recorded before it is answered: connect,
//     from_service, reply-message, to_service, disconnect (driver_recorder.h).
//   - A send of the service that carries a reply (flag kFlagReply) and was answered S_OK with
//     the 4-byte status 0 goes to the ReplyWaiters watching its request ID; one answered
//     otherwise was not delivered and does not.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/driver_recorder.h"

namespace nvxdriver {

enum Port { kAsync = 0, kSync = 1 };
constexpr int kAllPorts = -1;

// "async" or "sync", as the journal and the control answers name a port.
const char* PortLabel(int port);

constexpr DWORD kDefaultWriteWaitMs = 5000;  // for the service to take a message

// One connection of the service; its state belongs to the port server.
struct Connection;

// The connection's number, as the journal and the control answers name it.
uint32_t ConnectionId(const Connection& c);

// Collects the service's replies to one request ID while it is watched.
struct ReplyWaiter {
    uint32_t requestId = 0;
    std::vector<std::string> replies;  // {"event":"reply",...} lines, in the order they came
    bool final = false;                // a reply with kFlagFinal came
};

// Once, before anything else: the instance whose pipes are served, the event that ends every
// wait of the server when the driver unloads, and the journal.
void InitPorts(const std::wstring& instance, HANDLE unloadEvent, Recorder* journal);

// Creates both ports unless they are open already; true when this call created them.
bool OpenPorts();

// How the next sends on the asynchronous port are answered instead of S_OK with status 0.
struct SendAnswer {
    uint32_t status = 0;   // the status word written into the output
    uint32_t hresult = 0;  // FilterSendMessage's result (S_OK)
    uint32_t length = 4;   // output bytes: the status word cut short, or zero-padded past 4
    uint32_t count = 0;    // for this many sends
};
void SetAnswer(const SendAnswer& answer);

// The connection named `id`, or with id 0 the newest attached one on the asynchronous port;
// nullptr when there is none.
std::shared_ptr<Connection> TargetConnection(uint64_t id);

// Writes one message to the service on `c` (FILTER_MESSAGE_HEADER + the message as one pipe
// message) and records it; waits up to waitMs for the pipe to take it. False with the reason.
// With wholeFrame the bytes are the whole frame the service's FilterGetMessage completes with,
// header included or not, as a faulty driver could hand it over (*messageId is then 0).
bool Deliver(Connection& c, const std::vector<uint8_t>& message, DWORD waitMs, uint64_t* messageId,
             std::string* problem, bool wholeFrame = false);

// Replies to waiter->requestId go to the waiter from now on ...
void WatchReplies(ReplyWaiter* waiter);
// ... until this returns: at once when the final reply is there, else after waitMs.
void EndReplyWatch(ReplyWaiter* waiter, uint64_t waitMs);

// Ends the service's connections on a port (or kAllPorts) as an unloading driver does, and
// returns once both pipes of each are closed on this side (or after kDefaultWriteWaitMs): the
// service's next receive or send then finds them closed. How many connections there were.
size_t Disconnect(int port);

// The newest attached connection on `port`, waiting up to timeoutMs for one; nullptr if none came.
std::shared_ptr<Connection> WaitForConnection(int port, uint64_t timeoutMs);

// The ports' state for `ctl status`.
struct PortsStatus {
    bool portsOpen = false;
    SendAnswer answer;        // what is left of it: answer.count sends
    std::string connections;  // JSON array: conn, port, attached, context_hex of each
};
PortsStatus GetPortsStatus();

}  // namespace nvxdriver
