// The floor of the command round trip (bench/command_round_trip.py runs it inside a simulated
// machine beside the service): a peer on the driver's asynchronous port that does what the
// service's channel does with the transport and nothing else.
//
//   command_echo_peer.exe [IDLE_MS] [MAX_SECONDS]
//
// It connects to the port through the Filter Manager calls (the machine's fltlib.dll, served
// by the driver simulator) with the service's connection context, associates the port with a
// completion port of its own, and keeps one overlapped FilterGetMessage outstanding in one
// buffer, as the service does. Each CommandMsg that completes is sent straight back with
// FilterSendMessage (a 4-byte status answer) as its final reply: the same bytes with the reply
// and final flags instead of the request flag and the components swapped, so that the driver
// matches it to its request ID. No parsing, no lookup, no copy.
//
// Prints {"event":"connected"} once connected and {"event":"ended",...} with the count at the
// end: IDLE_MS (default 2000) after the last message once one came, after MAX_SECONDS (default
// 300) in any case, or when the port closes. Exit 0, or 1 when it could not connect or a send
// failed.
#include <windows.h>

#include <fltuser.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comms/wire_format.h"

namespace w = nvx_wire;

namespace {

constexpr DWORD kReceiveLength = 0x40010;  // FILTER_MESSAGE_HEADER + the largest message
constexpr DWORD kPollMs = 100;

struct ReceiveBuffer {
    uint8_t bytes[kReceiveLength];
    OVERLAPPED overlapped;
};

int Ended(const char* how, unsigned long long echoed, int code) {
    printf("{\"event\":\"ended\",\"how\":\"%s\",\"echoed\":%llu}\n", how, echoed);
    fflush(stdout);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const DWORD idleMs = argc > 1 ? static_cast<DWORD>(strtoul(argv[1], nullptr, 10)) : 2000;
    const ULONGLONG maxMs = (argc > 2 ? strtoull(argv[2], nullptr, 10) : 300) * 1000;

    w::RegRequestMsg context{};
    context.header = {w::kHeaderVersion, 0, w::kTypeRegRequest, w::kTagContext, w::kRegRequestSize};
    context.bodyVersion = w::kBodyVersion;
    context.contextMarker = 1;
    context.componentId = w::kServiceComponentId;
    HANDLE port = INVALID_HANDLE_VALUE;
    HRESULT hr = FilterConnectCommunicationPort(w::kAsyncPortName, 0, &context, sizeof context, nullptr, &port);
    if (FAILED(hr)) {
        fprintf(stderr, "command_echo_peer: cannot connect to the port: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    HANDLE completion = CreateIoCompletionPort(port, nullptr, 0, 2);
    if (completion == nullptr) {
        fprintf(stderr, "command_echo_peer: no completion port: error %lu\n", GetLastError());
        CloseHandle(port);
        return 1;
    }
    puts("{\"event\":\"connected\"}");
    fflush(stdout);

    static ReceiveBuffer buffer;
    const ULONGLONG deadline = GetTickCount64() + maxMs;
    ULONGLONG lastMessage = 0;
    unsigned long long echoed = 0;
    bool pending = false;
    int code = 0;
    const char* how = "max-seconds";
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        if (lastMessage != 0 && now - lastMessage >= idleMs) {
            how = "idle";
            break;
        }
        if (!pending) {
            memset(&buffer.overlapped, 0, sizeof buffer.overlapped);
            hr = FilterGetMessage(port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(buffer.bytes), kReceiveLength,
                                  &buffer.overlapped);
            if (hr != HRESULT_FROM_WIN32(ERROR_IO_PENDING)) {
                how = "port-closed";
                break;
            }
            pending = true;
        }
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* done = nullptr;
        if (!GetQueuedCompletionStatus(completion, &bytes, &key, &done, kPollMs)) {
            if (done == nullptr && GetLastError() == WAIT_TIMEOUT) continue;
            how = "port-closed";
            break;
        }
        pending = false;
        lastMessage = GetTickCount64();
        if (bytes < sizeof(FILTER_MESSAGE_HEADER) + sizeof(w::CommandMsg)) continue;
        auto* command = reinterpret_cast<w::CommandMsg*>(buffer.bytes + sizeof(FILTER_MESSAGE_HEADER));
        if (command->header.type != w::kTypeCommand) continue;
        command->flags = w::kFlagReply | w::kFlagFinal;
        const uint32_t source = command->sourceComponentId;
        command->sourceComponentId = command->destinationComponentId;
        command->destinationComponentId = source;
        uint32_t status = 0;
        DWORD returned = 0;
        hr = FilterSendMessage(port, command, bytes - sizeof(FILTER_MESSAGE_HEADER), &status, sizeof status, &returned);
        if (FAILED(hr) || returned != sizeof status || status != w::kCommSuccess) {
            fprintf(stderr, "command_echo_peer: echo of request %lu not taken: 0x%08lX, status 0x%08lX\n",
                    static_cast<unsigned long>(command->requestId), static_cast<unsigned long>(hr),
                    static_cast<unsigned long>(status));
            how = "send-failed";
            code = 1;
            break;
        }
        ++echoed;
    }
    CancelIoEx(port, nullptr);
    CloseHandle(port);
    CloseHandle(completion);
    return Ended(how, echoed, code);
}
