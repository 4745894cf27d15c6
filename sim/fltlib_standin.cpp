// fltlib.dll of the simulated machine: the Filter Manager communication-port calls, served by
// the driver simulator (nvxdriver.exe) over named pipes. Placed next to a program, it is loaded
// instead of Wine's built-in library, which answers E_NOTIMPL.
//
// A port connection is two instances of the port's pipe:
//   - the message pipe, whose handle is the port handle the caller gets. The driver writes each
//     message to it as FILTER_MESSAGE_HEADER + message, so FilterGetMessage is one ReadFile: an
//     overlapped read completes on the caller's completion port with the full byte count,
//     CancelIoEx completes it with 995, and a driver that goes away completes it with 109.
//   - the send pipe, kept in a table here keyed by the port handle, for FilterSendMessage and
//     FilterReplyMessage as request/response transactions. It is a separate pipe so that a send
//     never meets the receive that is outstanding on the port handle.
//
// Pipe frames (u32 words, little-endian):
//   message pipe, first exchange  -> {1 connect, options, context size, context}
//                                 <- {HRESULT, connection id}
//   send pipe, first exchange     -> {2 attach, connection id}             <- {HRESULT}
//   FilterSendMessage             -> {3 send, output capacity, input}      <- {HRESULT, count, output}
//   FilterReplyMessage            -> {4 reply, reply bytes}                <- {HRESULT, 0}
// Pipe name: \\.\pipe\nvxsim.<instance>.port<port name with each '\' as '.'>; the instance is
// NVXSIM_DRIVER_INSTANCE, "machine" when unset. nvxdriver.cpp serves the same names and frames.
#include <windows.h>

#include <fltuser.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kOpConnect = 1;
constexpr DWORD kOpAttach = 2;
constexpr DWORD kOpSend = 3;
constexpr DWORD kOpReply = 4;

constexpr DWORD kPortFlagSyncHandle = 0x00000001;  // FLT_PORT_FLAG_SYNC_HANDLE
constexpr DWORD kOpenWaitMs = 5000;                // for a free pipe instance
constexpr DWORD kConnectWaitMs = 10000;            // for the driver's answer to a connection

constexpr HRESULT Win32Hr(DWORD error) {
    return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

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

std::wstring Instance() {
    wchar_t value[128];
    DWORD n = GetEnvironmentVariableW(L"NVXSIM_DRIVER_INSTANCE", value, 128);
    if (n == 0 || n >= 128) return L"machine";
    return value;
}

std::wstring PortPipeName(const wchar_t* portName) {
    std::wstring name = L"\\\\.\\pipe\\nvxsim." + Instance() + L".port";
    for (const wchar_t* p = portName; *p; ++p) name += *p == L'\\' ? L'.' : *p;
    return name;
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetU32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

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
    const std::wstring name = PortPipeName(portName);
    auto connection = std::make_shared<Connection>();
    connection->overlapped = (options & kPortFlagSyncHandle) == 0;

    HANDLE messagePipe;
    HRESULT hr = OpenPipe(name, connection->overlapped ? FILE_FLAG_OVERLAPPED : 0, sa, &messagePipe);
    if (FAILED(hr)) return hr;

    std::vector<uint8_t> request;
    PutU32(request, kOpConnect);
    PutU32(request, options);
    PutU32(request, contextSize);
    const auto* bytes = static_cast<const uint8_t*>(context);
    request.insert(request.end(), bytes, bytes + contextSize);
    std::vector<uint8_t> answer(8);
    hr = Transact(messagePipe, connection->overlapped, request, answer, kConnectWaitMs);
    if (SUCCEEDED(hr))
        hr = answer.size() == 8 ? static_cast<HRESULT>(GetU32(answer.data())) : Win32Hr(ERROR_INVALID_DATA);
    if (FAILED(hr)) {
        CloseHandle(messagePipe);
        return hr;
    }
    const uint32_t id = GetU32(answer.data() + 4);

    HANDLE sendPipe;
    hr = OpenPipe(name, 0, nullptr, &sendPipe);
    if (SUCCEEDED(hr)) {
        request.clear();
        PutU32(request, kOpAttach);
        PutU32(request, id);
        answer.assign(4, 0);
        hr = Transact(sendPipe, false, request, answer, INFINITE);
        if (SUCCEEDED(hr))
            hr = answer.size() == 4 ? static_cast<HRESULT>(GetU32(answer.data())) : Win32Hr(ERROR_INVALID_DATA);
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

// One transaction on the send pipe: {op, words...} + data -> {HRESULT, count, output}.
HRESULT SendFrame(HANDLE port, const std::vector<uint8_t>& request, void* out, DWORD outSize, DWORD* returned) {
    std::shared_ptr<Connection> connection = Find(port);
    if (!connection) return kInvalidHandle;
    std::vector<uint8_t> answer(8 + static_cast<size_t>(outSize));
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
    if (got < 8) return Win32Hr(ERROR_INVALID_DATA);
    const HRESULT hr = static_cast<HRESULT>(GetU32(answer.data()));
    DWORD count = GetU32(answer.data() + 4);
    if (count > outSize) count = outSize;
    if (count > got - 8) count = got - 8;
    if (count != 0) memcpy(out, answer.data() + 8, count);
    if (returned != nullptr) *returned = count;
    return hr;
}

}  // namespace

extern "C" {

// Marker: tells a test (or a curious developer) that this copy, not Wine's, was loaded.
__declspec(dllexport) const char* WINAPI NvxSimFltlibStandIn(void) {
    return "nvxsim fltlib stand-in: Filter Manager ports served by nvxdriver.exe";
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
    request.reserve(8 + static_cast<size_t>(dwInBufferSize));
    PutU32(request, kOpSend);
    PutU32(request, dwOutBufferSize);
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
    PutU32(request, kOpReply);
    const auto* bytes = reinterpret_cast<const uint8_t*>(lpReplyBuffer);
    request.insert(request.end(), bytes, bytes + dwReplyBufferSize);
    return SendFrame(hPort, request, nullptr, 0, nullptr);
}

}  // extern "C"
