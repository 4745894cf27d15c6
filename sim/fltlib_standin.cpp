// fltlib.dll of the simulated machine: the Filter Manager communication-port calls, served by
// the driver simulator (nvxdriver.exe) over named pipes. Placed next to a program, it is loaded
// instead of Wine's built-in library, which answers E_NOTIMPL.
//
// The pipes and their frames are those of pipe_protocol.h. The port handle the caller gets is
// the connection's message pipe: an overlapped FilterGetMessage is one ReadFile of it, so it
// completes on the caller's completion port with the full byte count, CancelIoEx completes it
// with 995, and a driver that goes away completes it with 109. The send pipe is kept in a table
// here keyed by the port handle. The filter and instance walks are in fltlib_enum.cpp.
#include <windows.h>

#include <fltuser.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/pipe_protocol.h"
#include "sim/simsupport.h"

namespace p = nvxsim_pipe;
using nvxsim::GetRecord;
using nvxsim::PutRecord;
using nvxsim::Win32Hr;

namespace {

constexpr DWORD kPortFlagSyncHandle = 0x00000001;  // FLT_PORT_FLAG_SYNC_HANDLE
constexpr DWORD kOpenWaitMs = 5000;                // for a free pipe instance
constexpr DWORD kConnectWaitMs = 10000;            // for the driver's answer to a connection

constexpr HRESULT kPending = Win32Hr(ERROR_IO_PENDING);            // 0x800703E5
constexpr HRESULT kInvalidHandle = Win32Hr(ERROR_INVALID_HANDLE);  // 0x80070006

// Pipe errors that mean the driver's end of the connection is gone.
bool IsGone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_BAD_PIPE || error == ERROR_INVALID_HANDLE;
}

struct Connection {
    HANDLE port = INVALID_HANDLE_VALUE;  // the message pipe; belongs to the caller
    HANDLE send = INVALID_HANDLE_VALUE;  // the send pipe; belongs to this entry
    bool overlapped = true;
    SRWLOCK sendLock = SRWLOCK_INIT;  // one transaction at a time on the send pipe

    ~Connection() {
        if (send != INVALID_HANDLE_VALUE) CloseHandle(send);
    }
};

SRWLOCK gTableLock = SRWLOCK_INIT;
std::map<HANDLE, std::shared_ptr<Connection>> gTable;

std::shared_ptr<Connection> Find(HANDLE port) {
    AcquireSRWLockShared(&gTableLock);
    auto it = gTable.find(port);
    std::shared_ptr<Connection> found = it == gTable.end() ? nullptr : it->second;
    ReleaseSRWLockShared(&gTableLock);
    return found;
}

// Drops the entry of a connection whose driver end is gone: from now on the port handle is
// answered as invalid, as a port that vanished.
void Forget(HANDLE port) {
    std::shared_ptr<Connection> gone;
    AcquireSRWLockExclusive(&gTableLock);
    auto it = gTable.find(port);
    if (it != gTable.end()) {
        gone = std::move(it->second);
        gTable.erase(it);
    }
    ReleaseSRWLockExclusive(&gTableLock);
}

void Remember(const std::shared_ptr<Connection>& connection) {
    std::shared_ptr<Connection> stale;  // a closed port whose handle value came back
    AcquireSRWLockExclusive(&gTableLock);
    auto& slot = gTable[connection->port];
    stale = std::move(slot);
    slot = connection;
    ReleaseSRWLockExclusive(&gTableLock);
}

// Opens one instance of the port's pipe in message mode, waiting while all are busy.
HRESULT OpenPipe(const std::wstring& name, DWORD flags, LPSECURITY_ATTRIBUTES sa, HANDLE* pipe) {
    ULONGLONG deadline = GetTickCount64() + kOpenWaitMs;
    for (;;) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, sa, OPEN_EXISTING, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
                DWORD error = GetLastError();
                CloseHandle(h);
                return Win32Hr(error);
            }
            *pipe = h;
            return S_OK;
        }
        DWORD error = GetLastError();
        ULONGLONG now = GetTickCount64();
        if (error != ERROR_PIPE_BUSY || now >= deadline) return Win32Hr(error);
        WaitNamedPipeW(name.c_str(), static_cast<DWORD>(deadline - now));
    }
}

// One request/response exchange. An overlapped handle is waited on with an event whose low bit
// keeps the completion off any completion port the handle may belong to.
HRESULT Transact(HANDLE pipe, bool overlapped, const std::vector<uint8_t>& request, std::vector<uint8_t>& answer,
                 DWORD waitMs) {
    DWORD got = 0;
    BOOL ok;
    DWORD error = 0;
    if (!overlapped) {
        ok = TransactNamedPipe(pipe, const_cast<uint8_t*>(request.data()), static_cast<DWORD>(request.size()),
                               answer.data(), static_cast<DWORD>(answer.size()), &got, nullptr);
        if (!ok) error = GetLastError();
    } else {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) return Win32Hr(GetLastError());
        OVERLAPPED ov{};
        ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
        ok = TransactNamedPipe(pipe, const_cast<uint8_t*>(request.data()), static_cast<DWORD>(request.size()),
                               answer.data(), static_cast<DWORD>(answer.size()), nullptr, &ov);
        error = ok ? 0 : GetLastError();
        if (ok || error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(event, waitMs) != WAIT_OBJECT_0) {
                CancelIoEx(pipe, &ov);
                GetOverlappedResult(pipe, &ov, &got, TRUE);
                CloseHandle(event);
                return Win32Hr(ERROR_TIMEOUT);
            }
            ok = GetOverlappedResult(pipe, &ov, &got, FALSE);
            error = ok ? 0 : GetLastError();
        }
        CloseHandle(event);
    }
    if (!ok) return Win32Hr(error);
    answer.resize(got);
    return S_OK;
}

HRESULT Connect(LPCWSTR portName, DWORD options, const void* context, WORD contextSize, LPSECURITY_ATTRIBUTES sa,
                HANDLE* port) {
    const std::wstring name = p::PortPipeName(p::InstanceFromEnvironment(), portName);
    auto connection = std::make_shared<Connection>();
    connection->overlapped = (options & kPortFlagSyncHandle) == 0;

    HANDLE messagePipe;
    HRESULT hr = OpenPipe(name, connection->overlapped ? FILE_FLAG_OVERLAPPED : 0, sa, &messagePipe);
    if (FAILED(hr)) return hr;

    std::vector<uint8_t> request;
    PutRecord(request, p::ConnectRequest{p::kOpConnect, options, contextSize});
    const auto* bytes = static_cast<const uint8_t*>(context);
    request.insert(request.end(), bytes, bytes + contextSize);
    std::vector<uint8_t> answer(sizeof(p::ConnectAnswer));
    p::ConnectAnswer connected{};
    hr = Transact(messagePipe, connection->overlapped, request, answer, kConnectWaitMs);
    if (SUCCEEDED(hr)) {
        hr = answer.size() == sizeof connected && GetRecord(answer, &connected)
                 ? static_cast<HRESULT>(connected.hresult)
                 : Win32Hr(ERROR_INVALID_DATA);
    }
    if (FAILED(hr)) {
        CloseHandle(messagePipe);
        return hr;
    }

    HANDLE sendPipe;
    hr = OpenPipe(name, 0, nullptr, &sendPipe);
    if (SUCCEEDED(hr)) {
        request.clear();
        PutRecord(request, p::AttachRequest{p::kOpAttach, connected.connectionId});
        answer.assign(sizeof(p::AttachAnswer), 0);
        p::AttachAnswer attached{};
        hr = Transact(sendPipe, false, request, answer, INFINITE);
        if (SUCCEEDED(hr)) {
            hr = answer.size() == sizeof attached && GetRecord(answer, &attached)
                     ? static_cast<HRESULT>(attached.hresult)
                     : Win32Hr(ERROR_INVALID_DATA);
        }
        if (FAILED(hr)) CloseHandle(sendPipe);
    }
    if (FAILED(hr)) {
        CloseHandle(messagePipe);
        return hr;
    }
    connection->port = messagePipe;
    connection->send = sendPipe;
    Remember(connection);
    *port = messagePipe;
    return S_OK;
}

// One transaction on the send pipe: a SendRequest or ReplyRequest frame -> CallAnswer + output.
HRESULT SendFrame(HANDLE port, const std::vector<uint8_t>& request, void* out, DWORD outSize, DWORD* returned) {
    std::shared_ptr<Connection> connection = Find(port);
    if (!connection) return kInvalidHandle;
    std::vector<uint8_t> answer(sizeof(p::CallAnswer) + static_cast<size_t>(outSize));
    AcquireSRWLockExclusive(&connection->sendLock);
    DWORD got = 0;
    BOOL ok =
        TransactNamedPipe(connection->send, const_cast<uint8_t*>(request.data()), static_cast<DWORD>(request.size()),
                          answer.data(), static_cast<DWORD>(answer.size()), &got, nullptr);
    DWORD error = ok ? 0 : GetLastError();
    ReleaseSRWLockExclusive(&connection->sendLock);
    if (!ok) {
        if (IsGone(error)) {
            Forget(port);
            return kInvalidHandle;
        }
        return Win32Hr(error);
    }
    p::CallAnswer head{};
    if (got < sizeof head || !GetRecord(answer, &head)) return Win32Hr(ERROR_INVALID_DATA);
    DWORD count = head.count;
    if (count > outSize) count = outSize;
    if (count > got - sizeof head) count = got - sizeof head;
    if (count != 0) memcpy(out, answer.data() + sizeof head, count);
    if (returned != nullptr) *returned = count;
    return static_cast<HRESULT>(head.hresult);
}

}  // namespace

extern "C" {

// Marker: tells a test (or a curious developer) that this copy, not Wine's, was loaded.
__declspec(dllexport) const char* WINAPI NvxSimFltlibStandIn(void) {
    return "nvxsim fltlib stand-in: Filter Manager ports served by nvxdriver.exe, filter walks from the filter stack";
}

__declspec(dllexport) HRESULT WINAPI
    FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions, LPCVOID lpContext, WORD wSizeOfContext,
                                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, HANDLE* hPort) {
    if (hPort == nullptr) return E_INVALIDARG;
    *hPort = INVALID_HANDLE_VALUE;
    if (lpPortName == nullptr || (wSizeOfContext != 0 && lpContext == nullptr)) return E_INVALIDARG;
    return Connect(lpPortName, dwOptions, lpContext, wSizeOfContext, lpSecurityAttributes, hPort);
}

__declspec(dllexport) HRESULT WINAPI
    FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize, LPVOID lpOutBuffer, DWORD dwOutBufferSize,
                      LPDWORD lpBytesReturned) {
    if (lpBytesReturned == nullptr) return E_INVALIDARG;
    *lpBytesReturned = 0;
    if ((dwInBufferSize != 0 && lpInBuffer == nullptr) || (dwOutBufferSize != 0 && lpOutBuffer == nullptr)) {
        return E_INVALIDARG;
    }
    std::vector<uint8_t> request;
    request.reserve(sizeof(p::SendRequest) + static_cast<size_t>(dwInBufferSize));
    PutRecord(request, p::SendRequest{p::kOpSend, dwOutBufferSize});
    const auto* in = static_cast<const uint8_t*>(lpInBuffer);
    request.insert(request.end(), in, in + dwInBufferSize);
    return SendFrame(hPort, request, lpOutBuffer, dwOutBufferSize, lpBytesReturned);
}

__declspec(dllexport) HRESULT WINAPI FilterGetMessage(HANDLE hPort, PFILTER_MESSAGE_HEADER lpMessageBuffer,
                                                      DWORD dwMessageBufferSize, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<Connection> connection = Find(hPort);
    if (!connection) return kInvalidHandle;
    if (lpMessageBuffer == nullptr || dwMessageBufferSize < sizeof(FILTER_MESSAGE_HEADER)) return E_INVALIDARG;
    if (lpOverlapped != nullptr && !connection->overlapped) return E_INVALIDARG;

    if (lpOverlapped != nullptr) {
        // Always pending for the caller: a message that is already there completes at once, but
        // still through the completion port.
        if (ReadFile(hPort, lpMessageBuffer, dwMessageBufferSize, nullptr, lpOverlapped)) return kPending;
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) return kPending;
        if (IsGone(error)) {
            Forget(hPort);
            return kInvalidHandle;
        }
        return Win32Hr(error);
    }

    // No OVERLAPPED: wait here for the message.
    DWORD got = 0;
    BOOL ok;
    DWORD error = 0;
    if (!connection->overlapped) {
        ok = ReadFile(hPort, lpMessageBuffer, dwMessageBufferSize, &got, nullptr);
        if (!ok) error = GetLastError();
    } else {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) return Win32Hr(GetLastError());
        OVERLAPPED ov{};
        ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
        ok = ReadFile(hPort, lpMessageBuffer, dwMessageBufferSize, nullptr, &ov);
        error = ok ? 0 : GetLastError();
        if (ok || error == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(hPort, &ov, &got, TRUE);
            error = ok ? 0 : GetLastError();
        }
        CloseHandle(event);
    }
    if (ok) return S_OK;
    if (IsGone(error)) Forget(hPort);
    return Win32Hr(error);
}

__declspec(dllexport) HRESULT WINAPI
    FilterReplyMessage(HANDLE hPort, PFILTER_REPLY_HEADER lpReplyBuffer, DWORD dwReplyBufferSize) {
    if (lpReplyBuffer == nullptr || dwReplyBufferSize < sizeof(FILTER_REPLY_HEADER)) return E_INVALIDARG;
    std::vector<uint8_t> request;
    PutRecord(request, p::ReplyRequest{p::kOpReply});
    const auto* bytes = reinterpret_cast<const uint8_t*>(lpReplyBuffer);
    request.insert(request.end(), bytes, bytes + dwReplyBufferSize);
    return SendFrame(hPort, request, nullptr, 0, nullptr);
}

}  // extern "C"
