// The named-pipe protocol between the fltlib.dll stand-in (fltlib_standin.cpp) and the driver
// simulator's port server (driver_ports.cpp), byte for byte. Both include this header and
// nothing else defines these frames: every size and offset is pinned by a static_assert.
// All words are u32, little-endian.
//
// A port connection is two instances of the port's pipe, both in message mode:
//   - the message pipe, whose handle is the port handle the caller gets. After the connect
//     exchange the driver writes each message to it as FilterMessageHeader + message (see
//     comms/wire_format.h), so FilterGetMessage is one ReadFile of that pipe.
//   - the send pipe, for FilterSendMessage and FilterReplyMessage as request/response
//     transactions. It is a separate pipe so that a send never meets the receive that is
//     outstanding on the port handle.
//
//   message pipe, first exchange  -> ConnectRequest + context    <- ConnectAnswer
//   send pipe, first exchange     -> AttachRequest               <- AttachAnswer
//   FilterSendMessage             -> SendRequest + input         <- CallAnswer + output
//   FilterReplyMessage            -> ReplyRequest + reply bytes  <- CallAnswer (count 0)
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace nvxsim_pipe {

enum Op : uint32_t {
    kOpConnect = 1,
    kOpAttach = 2,
    kOpSend = 3,
    kOpReply = 4,
};

#pragma pack(push, 1)

struct ConnectRequest {
    uint32_t op;           // kOpConnect
    uint32_t options;      // FilterConnectCommunicationPort's options
    uint32_t contextSize;  // the context bytes follow; the frame ends with them
};

struct ConnectAnswer {
    uint32_t hresult;
    uint32_t connectionId;  // names the connection in AttachRequest; 0 when refused
};

struct AttachRequest {
    uint32_t op;  // kOpAttach
    uint32_t connectionId;
};

struct AttachAnswer {
    uint32_t hresult;
};

struct SendRequest {
    uint32_t op;              // kOpSend
    uint32_t outputCapacity;  // the caller's output buffer; the input bytes follow
};

struct ReplyRequest {
    uint32_t op;  // kOpReply; the reply bytes (FILTER_REPLY_HEADER + reply) follow
};

struct CallAnswer {
    uint32_t hresult;
    uint32_t count;  // output bytes that follow, at most the request's outputCapacity
};

#pragma pack(pop)

static_assert(sizeof(ConnectRequest) == 12);
static_assert(offsetof(ConnectRequest, options) == 4 && offsetof(ConnectRequest, contextSize) == 8);
static_assert(sizeof(ConnectAnswer) == 8 && offsetof(ConnectAnswer, connectionId) == 4);
static_assert(sizeof(AttachRequest) == 8 && offsetof(AttachRequest, connectionId) == 4);
static_assert(sizeof(AttachAnswer) == 4);
static_assert(sizeof(SendRequest) == 8 && offsetof(SendRequest, outputCapacity) == 4);
static_assert(sizeof(ReplyRequest) == 4);
static_assert(sizeof(CallAnswer) == 8 && offsetof(CallAnswer, count) == 4);

// The driver instance a process talks to: this environment variable, else kDefaultInstance.
// Tests give each driver an instance of its own so that drivers may run side by side.
constexpr wchar_t kInstanceVariable[] = L"NVXSIM_DRIVER_INSTANCE";
constexpr wchar_t kDefaultInstance[] = L"machine";

inline std::wstring InstanceFromEnvironment() {
    wchar_t value[128];
    const DWORD n = GetEnvironmentVariableW(kInstanceVariable, value, 128);
    return n == 0 || n >= 128 ? std::wstring(kDefaultInstance) : std::wstring(value);
}

// Every pipe of a driver instance starts with this root: \\.\pipe\nvxsim.<instance with each '\' as
// '.'>. The stand-in and the driver both name their pipes through here, so they agree on any name.
inline std::wstring PipeRoot(const std::wstring& instance) {
    std::wstring root = L"\\\\.\\pipe\\nvxsim.";
    for (const wchar_t c : instance) root += c == L'\\' ? L'.' : c;
    return root;
}

// The pipe of a port: \\.\pipe\nvxsim.<instance>.port<port name with each '\' as '.'>.
inline std::wstring PortPipeName(const std::wstring& instance, const wchar_t* portName) {
    std::wstring name = PipeRoot(instance) + L".port";
    for (const wchar_t* p = portName; *p; ++p) name += *p == L'\\' ? L'.' : *p;
    return name;
}

}  // namespace nvxsim_pipe
