// nvxdriver: the NVX driver simulator, an ordinary console program inside the simulated machine.
//
//   nvxdriver serve [--instance NAME] [--journal PATH] [--ports-closed]
//   nvxdriver ctl [--instance NAME] COMMAND [ARGS...]
//   nvxdriver journal COMMAND [ARGS...]
//
// serve runs the driver: it serves the communication ports "\KestroVantorAsyncCommPort" and
// "\KestroVantorSyncCommPort" to the fltlib.dll stand-in (sim/fltlib_standin.cpp, which has the
// pipe names and frames), answers every send on the asynchronous port with a 4-byte status (0
// unless told otherwise) and the 48-byte request on the synchronous port with a 32-byte
// SyncReplyMsg, and records everything on its ports in a journal, one JSON object a line
// (default C:\nvxsim\driver\received.jsonl): connections with their context, every send with
// its bytes and the status it got, what the driver itself sent, disconnections. Once its
// control pipe is up it prints {"event":"ready",...}. With --ports-closed the ports appear only
// on `ctl open-ports`, as a driver that is loaded but has not created them yet.
//
// ctl sends one command to a running driver and prints its answer, one JSON object a line:
//   status                               ports, connections, pending answers
//   open-ports
//   send [--kind get|set|call|exec|N] [--flags F] [--request-id N] [--component N]
//        [--source-component N] [--pid N] [--key N] [--dest-pid N] [--dest-key N] [--format N]
//        [--body-version N] [--hex BYTES | --no-nul] [--wait-reply MS] [--conn N] [TEXT...]
//                                        a CommandMsg to the service (flags 0x05, component 12
//                                        to 30 by default); --wait-reply collects the service's
//                                        replies until the final one
//   event [--body-version N] [--hex BYTES | --no-nul] [TEXT...]     an EventMsg
//   reg [--component N] [--marker N] [--body-version N] [--tag N]   a RegRequestMsg
//   raw HEX...                           any bytes as one message
//   answer STATUS N | queue-full N       the next N sends on the asynchronous port get STATUS
//                                        (queue-full: 0xE0020009) instead of 0
//   disconnect [--port async|sync|all]   close the service's connections, as an unloading driver
//   wait-connect [--port async|sync] [--timeout-ms N]
//   clear                                empty the journal
//   unload                               close everything and end
//
//   nvxdriver journal dirs | write DIR NAME [--size N] [--content text|random|zero] [--seed S]
//                  | grow DIR NAME --by N [--times K] [--every-ms T] | shrink DIR NAME --to N
//                  | remove DIR [NAME]
// journal writes event journals as the driver does, into the store below the installation's data
// directory (made first, as at load): a file of any name and size in any directory of the store, one
// that grows by N bytes K times every T ms, one cut to N bytes, or removes a file or directory. It
// needs no running driver and prints one JSON line (the path and the size reached).
//
// Messages to the service (send, event, reg, raw) go to the newest asynchronous connection
// unless --conn names one, and wait up to --timeout-ms (default 5000) for the pipe to take them.
// Exit status: 0 done, 1 the driver could not do it (or no final reply came), 2 usage, 3 the
// driver is not running.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "comms/wire_format.h"

namespace w = nvx_wire;

namespace {

// Pipe frames of the fltlib.dll stand-in.
constexpr uint32_t kOpConnect = 1;
constexpr uint32_t kOpAttach = 2;
constexpr uint32_t kOpSend = 3;
constexpr uint32_t kOpReply = 4;

constexpr DWORD kPipeBuffer = 0x100000;
constexpr DWORD kDefaultWriteWaitMs = 5000;
constexpr DWORD kDefaultConnectWaitMs = 10000;
constexpr uint32_t kDefaultSourceComponent = 12;
constexpr HRESULT kNoWaiterForReply = static_cast<HRESULT>(0x801F0020);  // ERROR_FLT_NO_WAITER_FOR_REPLY

enum Port { kAsync = 0, kSync = 1 };
const wchar_t* const kPortNames[2] = {w::kAsyncPortName, w::kSyncPortName};
const char* const kPortLabels[2] = {"async", "sync"};

constexpr HRESULT Win32Hr(DWORD error) {
    return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

// ---- text

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string HexOf(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 15];
    }
    return out;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    int high = -1;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c == ' ' || c == ':' || c == '-') {
            if (high >= 0) return false;
            continue;
        } else {
            return false;
        }
        if (high < 0) {
            high = digit;
        } else {
            out->push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    *value = v;
    return true;
}

bool ValidUtf8(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n;) {
        const uint8_t c = p[i];
        size_t extra;
        uint8_t low = 0x80, high = 0xBF;  // range of the second byte
        if (c < 0x80) {
            extra = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t b = p[i + k];
            if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

// A JSON string of bytes: as UTF-8 when they are, otherwise each byte as a Latin-1 character.
std::string Quote(const uint8_t* p, size_t n) {
    const bool utf8 = ValidUtf8(p, n);
    std::string out = "\"";
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = p[i];
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Quote(const std::string& text) { return Quote(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }

class Json {
public:
    Json& Str(const char* key, const std::string& value) {
        Key(key);
        body_ += Quote(value);
        return *this;
    }
    Json& Bytes(const char* key, const uint8_t* p, size_t n) {
        Key(key);
        body_ += Quote(p, n);
        return *this;
    }
    Json& Num(const char* key, uint64_t value) {
        Key(key);
        body_ += std::to_string(value);
        return *this;
    }
    Json& Bool(const char* key, bool value) {
        Key(key);
        body_ += value ? "true" : "false";
        return *this;
    }
    Json& Raw(const char* key, const std::string& json) {
        Key(key);
        body_ += json;
        return *this;
    }
    std::string Text() const { return "{" + body_ + "}"; }
    const std::string& Body() const { return body_; }

private:
    void Key(const char* key) {
        if (!body_.empty()) body_ += ',';
        body_ += '"';
        body_ += key;
        body_ += "\":";
    }
    std::string body_;
};

uint32_t GetU32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// ---- messages

const char* TypeName(uint8_t type) {
    switch (type) {
        case w::kTypeSyncRequest:
            return "SyncRequestMsg";
        case w::kTypeRegRequest:
            return "RegRequestMsg";
        case w::kTypeCommand:
            return "CommandMsg";
        case w::kTypeEvent:
            return "EventMsg";
        default:
            return "unknown";
    }
}

const char* KindName(uint8_t kind) {
    switch (kind) {
        case w::kKindGet:
            return "get";
        case w::kKindSet:
            return "set";
        case w::kKindCall:
            return "call";
        case w::kKindExec:
            return "exec";
        default:
            return "?";
    }
}

std::string FlagNames(uint8_t flags) {
    static const std::pair<uint8_t, const char*> kNames[] = {
        {w::kFlagRequest, "request"}, {w::kFlagReply, "reply"}, {w::kFlagFinal, "final"}, {w::kFlagError, "error"}};
    std::string out;
    for (const auto& [bit, name] : kNames) {
        if ((flags & bit) == 0) continue;
        if (!out.empty()) out += '|';
        out += name;
    }
    if (flags & 0xF0) out += (out.empty() ? "" : "|") + Hex32(flags & 0xF0u);
    return out;
}

void AddPayload(Json& j, const uint8_t* p, size_t n) {
    size_t text = 0;
    while (text < n && p[text] != 0) ++text;
    j.Num("payload_size", n).Bytes("text", p, text).Bool("nul_terminated", n > 0 && p[n - 1] == 0);
    j.Str("payload_hex", HexOf(p, n));
}

// The message's fields, as far as its bytes go.
Json Decode(const uint8_t* p, size_t n) {
    Json j;
    if (n < sizeof(w::MsgHeader)) {
        j.Str("name", "short");
        return j;
    }
    w::MsgHeader h;
    memcpy(&h, p, sizeof h);
    j.Str("name", TypeName(h.type)).Num("version", h.version).Num("type", h.type).Num("tag", h.tag).Num("size", h.size);
    switch (h.type) {
        case w::kTypeRegRequest:
            if (n >= sizeof(w::RegRequestMsg)) {
                w::RegRequestMsg m;
                memcpy(&m, p, sizeof m);
                j.Num("body_version", m.bodyVersion)
                    .Num("context_marker", m.contextMarker)
                    .Num("component", m.componentId);
            }
            break;
        case w::kTypeCommand:
            if (n >= sizeof(w::CommandMsg)) {
                w::CommandMsg m;
                memcpy(&m, p, sizeof m);
                char flags[8];
                snprintf(flags, sizeof flags, "0x%02X", m.flags);
                j.Num("body_version", m.bodyVersion).Str("flags", flags).Str("flag_names", FlagNames(m.flags));
                j.Num("kind", m.kind).Str("kind_name", KindName(m.kind)).Num("format", m.payloadFormat);
                j.Num("request_id", m.requestId).Num("source_component", m.sourceComponentId);
                j.Num("destination_component", m.destinationComponentId);
                j.Num("source_pid", m.sourceProcessId).Num("source_key", m.sourceProcessKey);
                j.Num("destination_pid", m.destinationProcessId).Num("destination_key", m.destinationProcessKey);
                AddPayload(j, p + sizeof m, n - sizeof m);
            }
            break;
        case w::kTypeEvent:
            if (n >= sizeof(w::EventMsg)) {
                j.Num("body_version", p[8]);
                AddPayload(j, p + sizeof(w::EventMsg), n - sizeof(w::EventMsg));
            }
            break;
        case w::kTypeSyncRequest:
            if (n >= sizeof(w::SyncRequestMsg)) {
                w::SyncRequestMsg m;
                memcpy(&m, p, sizeof m);
                j.Num("field8", m.field8).Num("field9", m.field9).Num("field12", m.field12).Num("field16", m.field16);
                j.Num("field20", m.field20).Num("process_id", m.processId).Num("field32", m.field32);
                j.Num("block_address", m.blockAddress);
            }
            break;
        default:
            break;
    }
    return j;
}

// ---- the journal

class Journal {
public:
    bool Open(const std::wstring& path) {
        // Parent directories first: C:\nvxsim\driver for the default path.
        for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
            CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
        }
        file_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) return false;
        // Records go on after those of earlier runs; their numbers too.
        char buffer[65536];
        DWORD got;
        while (ReadFile(file_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            seq_ += static_cast<uint64_t>(std::count(buffer, buffer + got, '\n'));
        }
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&origin_);
        return true;
    }

    void Write(const char* event, const Json& fields) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        char stamp[40];
        snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                 now.wMinute, now.wSecond, now.wMilliseconds);
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        char ms[32];
        snprintf(ms, sizeof ms, "%.3f",
                 static_cast<double>(counter.QuadPart - origin_.QuadPart) * 1000.0 /
                     static_cast<double>(frequency_.QuadPart));
        AcquireSRWLockExclusive(&lock_);
        Json head;
        head.Num("seq", ++seq_).Str("time", stamp).Raw("t_ms", ms).Str("event", event);
        std::string line = "{" + head.Body() + (fields.Body().empty() ? "" : "," + fields.Body()) + "}\n";
        LARGE_INTEGER zero{};
        SetFilePointerEx(file_, zero, nullptr, FILE_END);
        DWORD written;
        WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        ReleaseSRWLockExclusive(&lock_);
    }

    void Clear() {
        AcquireSRWLockExclusive(&lock_);
        LARGE_INTEGER zero{};
        SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN);
        SetEndOfFile(file_);
        seq_ = 0;
        ReleaseSRWLockExclusive(&lock_);
    }

    uint64_t Count() {
        AcquireSRWLockShared(&lock_);
        uint64_t n = seq_;
        ReleaseSRWLockShared(&lock_);
        return n;
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    uint64_t seq_ = 0;
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER origin_{};
};

// ---- the driver's state

struct Connection {
    uint32_t id = 0;
    int port = kAsync;
    std::vector<uint8_t> context;
    HANDLE closeEvent = nullptr;  // manual reset: the driver ends this connection
    bool attached = false;        // the send pipe is there (under gLock)
    bool sendOpen = false;        // the send pipe's end here is still open (under gLock)
    SRWLOCK writeLock = SRWLOCK_INIT;
    HANDLE messagePipe = INVALID_HANDLE_VALUE;  // under writeLock once attached
    bool closed = false;                        // under writeLock
    uint64_t nextMessageId = 1;                 // under writeLock

    ~Connection() {
        if (closeEvent != nullptr) CloseHandle(closeEvent);
    }
};

// A `send --wait-reply` waiting for the service's replies to one request ID.
struct ReplyWaiter {
    uint32_t requestId = 0;
    std::vector<std::string> replies;  // ctl answer lines
    bool final = false;
};

std::wstring gInstance = L"machine";
Journal gJournal;
HANDLE gUnloadEvent = nullptr;
SRWLOCK gLock = SRWLOCK_INIT;
CONDITION_VARIABLE gChanged = CONDITION_VARIABLE_INIT;  // connections and replies
std::vector<std::shared_ptr<Connection>> gConnections;
std::vector<ReplyWaiter*> gWaiters;
uint32_t gNextConnectionId = 1;
uint32_t gNextRequestId = 1;
uint32_t gAnswerStatus = 0;
uint32_t gAnswerLeft = 0;
bool gPortsOpen = false;

std::wstring PipeRoot() { return L"\\\\.\\pipe\\nvxsim." + gInstance; }

std::wstring PortPipeName(const wchar_t* portName) {
    std::wstring name = PipeRoot() + L".port";
    for (const wchar_t* p = portName; *p; ++p) name += *p == L'\\' ? L'.' : *p;
    return name;
}

std::wstring ControlPipeName() { return PipeRoot() + L".driver-control"; }

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

bool WriteMessage(HANDLE pipe, const void* data, size_t size, HANDLE stop1, HANDLE stop2, DWORD timeoutMs,
                  DWORD* error) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    BOOL started = WriteFile(pipe, data, static_cast<DWORD>(size), nullptr, &ov);
    DWORD got = 0;
    bool done = Finish(pipe, &ov, started, &got, stop1, stop2, timeoutMs, error);
    CloseHandle(event);
    if (done && got != size) {
        *error = ERROR_WRITE_FAULT;
        done = false;
    }
    return done;
}

std::vector<uint8_t> Answer(HRESULT hr, const std::vector<uint8_t>& output) {
    std::vector<uint8_t> answer;
    PutU32(answer, static_cast<uint32_t>(hr));
    PutU32(answer, static_cast<uint32_t>(output.size()));
    answer.insert(answer.end(), output.begin(), output.end());
    return answer;
}

// ---- the ports

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
        AcquireSRWLockExclusive(&gLock);
        if (gAnswerLeft > 0) {
            status = gAnswerStatus;
            --gAnswerLeft;
        }
        ReleaseSRWLockExclusive(&gLock);
        if (outCapacity < w::kSendStatusSize) {
            hr = Win32Hr(ERROR_INSUFFICIENT_BUFFER);
        } else {
            PutU32(output, status);
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
            const auto* bytes = reinterpret_cast<const uint8_t*>(&reply);
            output.assign(bytes, bytes + sizeof reply);
        }
    }
    if (FAILED(hr)) {
        j.Str("hresult", Hex32(static_cast<uint32_t>(hr)));
    } else {
        j.Str("status", Hex32(status));
    }
    const Json message = Decode(p, n);
    j.Str("hex", HexOf(p, n)).Raw("msg", message.Text());
    gJournal.Write("from_service", j);

    if (c.port == kAsync && SUCCEEDED(hr) && status == w::kCommSuccess && n >= sizeof(w::CommandMsg) &&
        p[2] == w::kTypeCommand) {
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
    const uint32_t op = GetU32(frame.data());
    if (op == kOpSend && frame.size() >= 8)
        return HandleSend(c, GetU32(frame.data() + 4), frame.data() + 8, frame.size() - 8);
    if (op == kOpReply) {
        // Nothing the driver sends waits for a FilterReplyMessage.
        Json j;
        j.Str("port", kPortLabels[c.port]).Num("conn", c.id).Num("size", frame.size() - 4);
        j.Str("hex", HexOf(frame.data() + 4, frame.size() - 4))
            .Str("hresult", Hex32(static_cast<uint32_t>(kNoWaiterForReply)));
        gJournal.Write("reply-message", j);
        return Answer(kNoWaiterForReply, {});
    }
    return Answer(E_INVALIDARG, {});
}

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
    if (frame.size() < 12 || frame.size() - 12 != GetU32(frame.data() + 8)) {
        std::vector<uint8_t> refused;
        PutU32(refused, static_cast<uint32_t>(E_INVALIDARG));
        PutU32(refused, 0);
        WriteMessage(pipe, refused.data(), refused.size(), gUnloadEvent, nullptr, kDefaultWriteWaitMs, &error);
        CloseHandle(pipe);
        return;
    }
    auto c = std::make_shared<Connection>();
    c->port = port;
    c->messagePipe = pipe;
    c->closeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    c->context.assign(frame.begin() + 12, frame.end());
    AcquireSRWLockExclusive(&gLock);
    c->id = gNextConnectionId++;
    gConnections.push_back(c);
    ReleaseSRWLockExclusive(&gLock);

    Json j;
    j.Str("port", kPortLabels[port]).Num("conn", c->id).Num("options", GetU32(frame.data() + 4));
    j.Num("context_size", c->context.size());
    if (!c->context.empty()) {
        j.Str("context_hex", HexOf(c->context.data(), c->context.size()));
        j.Raw("context", Decode(c->context.data(), c->context.size()).Text());
    }
    gJournal.Write("connect", j);

    std::vector<uint8_t> accepted;
    PutU32(accepted, S_OK);
    PutU32(accepted, c->id);
    bool byService = true;
    if (WriteMessage(pipe, accepted.data(), accepted.size(), c->closeEvent, gUnloadEvent, kDefaultWriteWaitMs,
                     &error)) {
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
    gJournal.Write("disconnect", gone);
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
    PutU32(answer, static_cast<uint32_t>(c ? S_OK : Win32Hr(ERROR_INVALID_HANDLE)));
    DWORD error;
    HANDLE stop = c ? c->closeEvent : nullptr;
    if (WriteMessage(pipe, answer.data(), answer.size(), stop, gUnloadEvent, kDefaultWriteWaitMs, &error) && c) {
        std::vector<uint8_t> frame;
        while (ReadMessage(pipe, &frame, c->closeEvent, gUnloadEvent, &error) && frame.size() >= 4) {
            answer = HandleFrame(*c, frame);
            if (!WriteMessage(pipe, answer.data(), answer.size(), c->closeEvent, gUnloadEvent, INFINITE, &error)) break;
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

struct NewInstance {
    HANDLE pipe;
    int port;
};

DWORD WINAPI InstanceThread(void* arg) {
    std::unique_ptr<NewInstance> instance(static_cast<NewInstance*>(arg));
    std::vector<uint8_t> frame;
    DWORD error;
    if (!ReadMessage(instance->pipe, &frame, gUnloadEvent, nullptr, &error) || frame.size() < 8) {
        CloseHandle(instance->pipe);
        return 0;
    }
    const uint32_t op = GetU32(frame.data());
    if (op == kOpConnect) {
        ServeConnection(instance->pipe, instance->port, frame);
    } else if (op == kOpAttach) {
        ServeSends(instance->pipe, instance->port, GetU32(frame.data() + 4));
    } else {
        CloseHandle(instance->pipe);
    }
    return 0;
}

HANDLE CreatePortInstance(int port) {
    return CreateNamedPipeW(PortPipeName(kPortNames[port]).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
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

// Creates both ports: when this returns, a connection to either finds its pipe.
void OpenPorts() {
    for (int port : {kAsync, kSync}) {
        auto* listener = new Listener{port, CreatePortInstance(port)};
        HANDLE thread = CreateThread(nullptr, 0, ListenThread, listener, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
}

// ---- control commands

struct Options {
    std::vector<std::string> words;
    std::map<std::string, std::string> values;
};

struct Reply {
    int code = 0;
    std::string text;
    bool unload = false;

    void Line(const Json& j) { text += j.Text() + "\n"; }
    int Fail(int exitCode, const std::string& why) {
        Json j;
        j.Str("event", "error").Str("error", why);
        Line(j);
        code = exitCode;
        return code;
    }
};

// Splits options from words; "--" ends the options. Every option takes a value except those in
// `flags`.
bool ParseOptions(const std::vector<std::string>& args, size_t from, const std::vector<std::string>& valued,
                  const std::vector<std::string>& flags, Options* out, std::string* problem) {
    bool optionsDone = false;
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsDone || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (arg == "--" && !optionsDone) {
                optionsDone = true;
                continue;
            }
            out->words.push_back(arg);
            continue;
        }
        if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            out->values[arg] = "1";
        } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
            if (i + 1 >= args.size()) {
                *problem = arg + " needs a value";
                return false;
            }
            out->values[arg] = args[++i];
        } else {
            *problem = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

bool NumberOption(const Options& o, const char* name, uint64_t fallback, uint64_t max, uint64_t* value,
                  std::string* problem) {
    auto it = o.values.find(name);
    if (it == o.values.end()) {
        *value = fallback;
        return true;
    }
    if (!ParseNumber(it->second, value) || *value > max) {
        *problem = std::string(name) + " needs a number up to " + std::to_string(max);
        return false;
    }
    return true;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

// Payload of send/event: --hex bytes as they are, else the text with its NUL unless --no-nul.
bool PayloadOf(const Options& o, std::vector<uint8_t>* payload, std::string* problem) {
    auto hex = o.values.find("--hex");
    if (hex != o.values.end()) {
        if (!o.words.empty() || o.values.count("--no-nul")) {
            *problem = "--hex takes the place of TEXT and --no-nul";
            return false;
        }
        if (!ParseHex(hex->second, payload)) {
            *problem = "--hex needs pairs of hexadecimal digits";
            return false;
        }
        return true;
    }
    std::string text = Joined(o.words);
    payload->assign(text.begin(), text.end());
    if (!o.values.count("--no-nul")) payload->push_back(0);
    return true;
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

// Writes one message to the service: FILTER_MESSAGE_HEADER + the message, one pipe message.
bool Deliver(Connection& c, const std::vector<uint8_t>& message, DWORD waitMs, uint64_t* messageId,
             std::string* problem) {
    std::vector<uint8_t> frame(sizeof(w::FilterMessageHeader));
    frame.insert(frame.end(), message.begin(), message.end());
    AcquireSRWLockExclusive(&c.writeLock);
    bool done = false;
    if (c.closed) {
        *problem = "connection " + std::to_string(c.id) + " is closed";
    } else {
        w::FilterMessageHeader header{};
        header.replyLength = 0;  // nothing the driver sends waits for a reply message
        header.messageId = c.nextMessageId++;
        memcpy(frame.data(), &header, sizeof header);
        *messageId = header.messageId;
        DWORD error = 0;
        done = WriteMessage(c.messagePipe, frame.data(), frame.size(), nullptr, nullptr, waitMs, &error);
        if (!done) {
            *problem =
                error == ERROR_TIMEOUT
                    ? "the service did not take the message within " + std::to_string(waitMs) + " ms"
                    : "writing to connection " + std::to_string(c.id) + " failed: error " + std::to_string(error);
        }
    }
    ReleaseSRWLockExclusive(&c.writeLock);
    return done;
}

// send/event/reg/raw: the message goes to the service; `send --wait-reply` then collects the
// replies to its request ID.
int SendToService(const Options& o, const std::vector<uint8_t>& message, uint32_t requestId, uint64_t waitReplyMs,
                  Reply* r) {
    uint64_t connId;
    uint64_t writeWaitMs;
    std::string problem;
    if (!NumberOption(o, "--conn", 0, UINT32_MAX, &connId, &problem) ||
        !NumberOption(o, "--timeout-ms", kDefaultWriteWaitMs, UINT32_MAX - 1, &writeWaitMs, &problem)) {
        return r->Fail(2, problem);
    }
    std::shared_ptr<Connection> c = TargetConnection(connId);
    if (!c) {
        return r->Fail(1,
                       connId ? "no connection " + std::to_string(connId) : "no connection on the asynchronous port");
    }
    ReplyWaiter waiter;
    waiter.requestId = requestId;
    if (waitReplyMs) {
        AcquireSRWLockExclusive(&gLock);
        gWaiters.push_back(&waiter);
        ReleaseSRWLockExclusive(&gLock);
    }
    uint64_t messageId = 0;
    const bool sent = Deliver(*c, message, static_cast<DWORD>(writeWaitMs), &messageId, &problem);
    if (sent) {
        const Json decoded = Decode(message.data(), message.size());
        Json j;
        j.Str("port", kPortLabels[c->port]).Num("conn", c->id).Num("message_id", messageId).Num("size", message.size());
        j.Str("hex", HexOf(message.data(), message.size())).Raw("msg", decoded.Text());
        gJournal.Write("to_service", j);
        Json line;
        line.Str("event", "sent").Num("conn", c->id).Num("message_id", messageId).Num("size", message.size());
        line.Raw("msg", decoded.Text());
        r->Line(line);
    }
    if (waitReplyMs) {
        AcquireSRWLockExclusive(&gLock);
        const ULONGLONG deadline = GetTickCount64() + waitReplyMs;
        while (sent && !waiter.final) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) break;
            SleepConditionVariableSRW(&gChanged, &gLock, static_cast<DWORD>(deadline - now), 0);
        }
        gWaiters.erase(std::find(gWaiters.begin(), gWaiters.end(), &waiter));
        ReleaseSRWLockExclusive(&gLock);
        for (const auto& line : waiter.replies) r->text += line + "\n";
        if (sent && !waiter.final) {
            Json j;
            j.Str("event", "timeout").Num("request_id", requestId).Num("waited_ms", waitReplyMs);
            j.Num("replies", waiter.replies.size());
            r->Line(j);
            r->code = 1;
        }
    }
    if (!sent) return r->Fail(1, problem);
    return r->code;
}

int CmdSend(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    if (!ParseOptions(
            args, 1,
            {"--kind", "--flags", "--request-id", "--component", "--source-component", "--pid", "--key", "--dest-pid",
             "--dest-key", "--format", "--body-version", "--hex", "--wait-reply", "--conn", "--timeout-ms"},
            {"--no-nul"}, &o, &problem)) {
        return r->Fail(2, problem);
    }
    uint64_t kind = w::kKindGet;
    auto kindOption = o.values.find("--kind");
    if (kindOption != o.values.end()) {
        static const std::pair<const char*, uint8_t> kKinds[] = {
            {"get", w::kKindGet}, {"set", w::kKindSet}, {"call", w::kKindCall}, {"exec", w::kKindExec}};
        bool named = false;
        for (const auto& [name, value] : kKinds) {
            if (kindOption->second == name) {
                kind = value;
                named = true;
            }
        }
        if (!named && (!ParseNumber(kindOption->second, &kind) || kind > 255)) {
            return r->Fail(2, "--kind is get, set, call, exec or a number up to 255");
        }
    }
    AcquireSRWLockExclusive(&gLock);
    const uint32_t nextId = gNextRequestId;
    ReleaseSRWLockExclusive(&gLock);
    uint64_t flags, requestId, destination, source, pid, key, destPid, destKey, format, bodyVersion, waitReply;
    if (!NumberOption(o, "--flags", w::kFlagRequest | w::kFlagFinal, 255, &flags, &problem) ||
        !NumberOption(o, "--request-id", nextId, UINT32_MAX, &requestId, &problem) ||
        !NumberOption(o, "--component", w::ServiceComponentId, UINT32_MAX, &destination, &problem) ||
        !NumberOption(o, "--source-component", kDefaultSourceComponent, UINT32_MAX, &source, &problem) ||
        !NumberOption(o, "--pid", 0, UINT64_MAX, &pid, &problem) ||
        !NumberOption(o, "--key", 0, UINT64_MAX, &key, &problem) ||
        !NumberOption(o, "--dest-pid", 0, UINT64_MAX, &destPid, &problem) ||
        !NumberOption(o, "--dest-key", 0, UINT64_MAX, &destKey, &problem) ||
        !NumberOption(o, "--format", w::kPayloadText, 255, &format, &problem) ||
        !NumberOption(o, "--body-version", w::kBodyVersion, 255, &bodyVersion, &problem) ||
        !NumberOption(o, "--wait-reply", 0, UINT32_MAX - 1, &waitReply, &problem)) {
        return r->Fail(2, problem);
    }
    std::vector<uint8_t> payload;
    if (!PayloadOf(o, &payload, &problem)) return r->Fail(2, problem);
    if (payload.size() > w::kMaxCommandPayload) return r->Fail(2, "the payload is longer than 0x3FFC8 bytes");
    if (!o.values.count("--request-id")) {
        AcquireSRWLockExclusive(&gLock);
        requestId = gNextRequestId++;
        ReleaseSRWLockExclusive(&gLock);
    }

    w::CommandMsg m{};
    m.header = {w::kHeaderVersion, 0, w::kTypeCommand, w::kTagCommand,
                static_cast<uint32_t>(sizeof m + payload.size())};
    m.bodyVersion = static_cast<uint8_t>(bodyVersion);
    m.flags = static_cast<uint8_t>(flags);
    m.kind = static_cast<uint8_t>(kind);
    m.payloadFormat = static_cast<uint8_t>(format);
    m.requestId = static_cast<uint32_t>(requestId);
    m.sourceComponentId = static_cast<uint32_t>(source);
    m.destinationComponentId = static_cast<uint32_t>(destination);
    m.sourceProcessId = pid;
    m.sourceProcessKey = key;
    m.destinationProcessId = destPid;
    m.destinationProcessKey = destKey;
    std::vector<uint8_t> message(reinterpret_cast<const uint8_t*>(&m), reinterpret_cast<const uint8_t*>(&m) + sizeof m);
    message.insert(message.end(), payload.begin(), payload.end());
    return SendToService(o, message, m.requestId, waitReply, r);
}

int CmdEvent(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    uint64_t bodyVersion;
    if (!ParseOptions(args, 1, {"--body-version", "--hex", "--conn", "--timeout-ms"}, {"--no-nul"}, &o, &problem) ||
        !NumberOption(o, "--body-version", w::kBodyVersion, 255, &bodyVersion, &problem)) {
        return r->Fail(2, problem);
    }
    std::vector<uint8_t> payload;
    if (!PayloadOf(o, &payload, &problem)) return r->Fail(2, problem);
    if (payload.size() > w::kMaxMessageSize - sizeof(w::EventMsg)) return r->Fail(2, "the payload is too long");
    w::EventMsg m{};
    m.header = {w::kHeaderVersion, 0, w::kTypeEvent, 0, static_cast<uint32_t>(sizeof m + payload.size())};
    m.bodyVersion = static_cast<uint8_t>(bodyVersion);
    std::vector<uint8_t> message(reinterpret_cast<const uint8_t*>(&m), reinterpret_cast<const uint8_t*>(&m) + sizeof m);
    message.insert(message.end(), payload.begin(), payload.end());
    return SendToService(o, message, 0, 0, r);
}

int CmdReg(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    uint64_t component, marker, bodyVersion, tag;
    if (!ParseOptions(args, 1, {"--component", "--marker", "--body-version", "--tag", "--conn", "--timeout-ms"}, {}, &o,
                      &problem) ||
        !NumberOption(o, "--component", kDefaultSourceComponent, UINT32_MAX, &component, &problem) ||
        !NumberOption(o, "--marker", 0, 255, &marker, &problem) ||
        !NumberOption(o, "--body-version", w::kBodyVersion, 255, &bodyVersion, &problem) ||
        !NumberOption(o, "--tag", w::kTagRegRequest, 255, &tag, &problem)) {
        return r->Fail(2, problem);
    }
    if (!o.words.empty()) return r->Fail(2, "reg takes options only");
    w::RegRequestMsg m{};
    m.header = {w::kHeaderVersion, 0, w::kTypeRegRequest, static_cast<uint8_t>(tag), w::kRegRequestSize};
    m.bodyVersion = static_cast<uint8_t>(bodyVersion);
    m.contextMarker = static_cast<uint8_t>(marker);
    m.componentId = static_cast<uint32_t>(component);
    std::vector<uint8_t> message(reinterpret_cast<const uint8_t*>(&m), reinterpret_cast<const uint8_t*>(&m) + sizeof m);
    return SendToService(o, message, 0, 0, r);
}

int CmdRaw(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    if (!ParseOptions(args, 1, {"--conn", "--timeout-ms"}, {}, &o, &problem)) return r->Fail(2, problem);
    std::vector<uint8_t> message;
    if (!ParseHex(Joined(o.words), &message) || message.empty())
        return r->Fail(2, "raw needs the message as hex bytes");
    if (message.size() > w::kMaxMessageSize) return r->Fail(2, "a message is at most 0x40000 bytes");
    return SendToService(o, message, 0, 0, r);
}

int CmdAnswer(uint64_t status, uint64_t count, Reply* r) {
    AcquireSRWLockExclusive(&gLock);
    gAnswerStatus = static_cast<uint32_t>(status);
    gAnswerLeft = static_cast<uint32_t>(count);
    ReleaseSRWLockExclusive(&gLock);
    Json j;
    j.Str("event", "answer").Str("status", Hex32(static_cast<uint32_t>(status))).Num("count", count);
    r->Line(j);
    Json record;
    record.Str("status", Hex32(static_cast<uint32_t>(status))).Num("count", count);
    gJournal.Write("answer", record);
    return 0;
}

bool PortOption(const Options& o, bool allowAll, int* port, std::string* problem) {
    auto it = o.values.find("--port");
    const std::string value = it == o.values.end() ? (allowAll ? "all" : "async") : it->second;
    if (value == "async") {
        *port = kAsync;
    } else if (value == "sync") {
        *port = kSync;
    } else if (value == "all" && allowAll) {
        *port = -1;
    } else {
        *problem = allowAll ? "--port is async, sync or all" : "--port is async or sync";
        return false;
    }
    return true;
}

int CmdDisconnect(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    int port;
    if (!ParseOptions(args, 1, {"--port"}, {}, &o, &problem) || !PortOption(o, true, &port, &problem)) {
        return r->Fail(2, problem);
    }
    if (!o.words.empty()) return r->Fail(2, "disconnect takes --port only");
    std::vector<std::shared_ptr<Connection>> ending;
    AcquireSRWLockExclusive(&gLock);
    for (const auto& c : gConnections) {
        if (port < 0 || c->port == port) ending.push_back(c);
    }
    ReleaseSRWLockExclusive(&gLock);
    for (const auto& c : ending) SetEvent(c->closeEvent);
    // Answered once the connections are gone, both pipes closed on this side, so the service's
    // next receive or send finds them closed.
    AcquireSRWLockExclusive(&gLock);
    const ULONGLONG deadline = GetTickCount64() + kDefaultWriteWaitMs;
    for (;;) {
        bool left = false;
        for (const auto& c : ending) {
            left = left || c->sendOpen || std::find(gConnections.begin(), gConnections.end(), c) != gConnections.end();
        }
        const ULONGLONG now = GetTickCount64();
        if (!left || now >= deadline) break;
        SleepConditionVariableSRW(&gChanged, &gLock, static_cast<DWORD>(deadline - now), 0);
    }
    ReleaseSRWLockExclusive(&gLock);
    Json j;
    j.Str("event", "disconnected").Num("connections", ending.size());
    r->Line(j);
    return 0;
}

int CmdWaitConnect(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    int port;
    uint64_t timeoutMs;
    if (!ParseOptions(args, 1, {"--port", "--timeout-ms"}, {}, &o, &problem) ||
        !PortOption(o, false, &port, &problem) ||
        !NumberOption(o, "--timeout-ms", kDefaultConnectWaitMs, UINT32_MAX - 1, &timeoutMs, &problem)) {
        return r->Fail(2, problem);
    }
    std::shared_ptr<Connection> found;
    AcquireSRWLockExclusive(&gLock);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        for (const auto& c : gConnections) {
            if (c->port == port && c->attached) found = c;
        }
        const ULONGLONG now = GetTickCount64();
        if (found || now >= deadline) break;
        SleepConditionVariableSRW(&gChanged, &gLock, static_cast<DWORD>(deadline - now), 0);
    }
    ReleaseSRWLockExclusive(&gLock);
    if (!found) {
        return r->Fail(1, std::string("no connection on the ") + (port == kAsync ? "asynchronous" : "synchronous") +
                              " port within " + std::to_string(timeoutMs) + " ms");
    }
    Json j;
    j.Str("event", "connected").Str("port", kPortLabels[port]).Num("conn", found->id);
    r->Line(j);
    return 0;
}

int CmdStatus(Reply* r) {
    std::string list = "[";
    AcquireSRWLockShared(&gLock);
    for (const auto& c : gConnections) {
        Json item;
        item.Num("conn", c->id).Str("port", kPortLabels[c->port]).Bool("attached", c->attached);
        item.Str("context_hex", HexOf(c->context.data(), c->context.size()));
        list += (list.size() > 1 ? "," : "") + item.Text();
    }
    Json j;
    j.Str("event", "status").Num("pid", GetCurrentProcessId()).Str("instance", Utf8(gInstance));
    j.Bool("ports_open", gPortsOpen).Str("answer_status", Hex32(gAnswerStatus)).Num("answer_left", gAnswerLeft);
    ReleaseSRWLockShared(&gLock);
    j.Num("records", gJournal.Count()).Raw("connections", list + "]");
    r->Line(j);
    return 0;
}

int RunCommand(const std::vector<std::string>& args, Reply* r) {
    if (args.empty()) return r->Fail(2, "no command");
    const std::string& command = args[0];
    std::string problem;
    if (command == "status" && args.size() == 1) return CmdStatus(r);
    if (command == "open-ports" && args.size() == 1) {
        AcquireSRWLockExclusive(&gLock);
        const bool already = gPortsOpen;
        gPortsOpen = true;
        ReleaseSRWLockExclusive(&gLock);
        if (!already) {
            OpenPorts();
            gJournal.Write("ports-open", Json());
        }
        Json j;
        j.Str("event", "ports").Bool("open", true).Bool("already", already);
        r->Line(j);
        return 0;
    }
    if (command == "send") return CmdSend(args, r);
    if (command == "event") return CmdEvent(args, r);
    if (command == "reg") return CmdReg(args, r);
    if (command == "raw") return CmdRaw(args, r);
    if (command == "answer" && args.size() == 3) {
        uint64_t status, count;
        if (!ParseNumber(args[1], &status) || status > UINT32_MAX || !ParseNumber(args[2], &count) ||
            count > UINT32_MAX) {
            return r->Fail(2, "answer STATUS COUNT");
        }
        return CmdAnswer(status, count, r);
    }
    if (command == "queue-full" && args.size() == 2) {
        uint64_t count;
        if (!ParseNumber(args[1], &count) || count > UINT32_MAX) return r->Fail(2, "queue-full COUNT");
        return CmdAnswer(w::kCommQueueFull, count, r);
    }
    if (command == "disconnect") return CmdDisconnect(args, r);
    if (command == "wait-connect") return CmdWaitConnect(args, r);
    if (command == "clear" && args.size() == 1) {
        gJournal.Clear();
        Json j;
        j.Str("event", "cleared");
        r->Line(j);
        return 0;
    }
    if (command == "unload" && args.size() == 1) {
        Json j;
        j.Str("event", "unloading").Num("pid", GetCurrentProcessId());
        r->Line(j);
        r->unload = true;
        return 0;
    }
    return r->Fail(2, "unknown command or wrong arguments: " + Joined(args));
}

// One control client: its arguments (each ended by NUL) in, {exit code, text} out.
DWORD WINAPI ControlClientThread(void* arg) {
    HANDLE pipe = arg;
    std::vector<uint8_t> request;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(pipe, chunk, sizeof chunk, &got, nullptr);
        request.insert(request.end(), chunk, chunk + got);
        if (ok) break;
        if (GetLastError() != ERROR_MORE_DATA) {
            CloseHandle(pipe);
            return 0;
        }
    }
    std::vector<std::string> args;
    std::string current;
    for (uint8_t byte : request) {
        if (byte == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(byte);
        }
    }
    Reply reply;
    reply.code = RunCommand(args, &reply);
    std::vector<uint8_t> answer;
    PutU32(answer, static_cast<uint32_t>(reply.code));
    answer.insert(answer.end(), reply.text.begin(), reply.text.end());
    DWORD written;
    WriteFile(pipe, answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    if (reply.unload) SetEvent(gUnloadEvent);
    return 0;
}

HANDLE CreateControlInstance(bool first) {
    return CreateNamedPipeW(ControlPipeName().c_str(), PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0x10000,
                            0x10000, 0, nullptr);
}

DWORD WINAPI ControlThread(void* arg) {
    HANDLE pipe = arg;
    for (;;) {
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(50);
            pipe = CreateControlInstance(false);
            continue;
        }
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            HANDLE thread = CreateThread(nullptr, 0, ControlClientThread, pipe, 0, nullptr);
            if (thread != nullptr) {
                CloseHandle(thread);
            } else {
                CloseHandle(pipe);
            }
        } else {
            CloseHandle(pipe);
        }
        pipe = CreateControlInstance(false);
    }
}

// ---- the two modes

void PrintLine(const std::string& line) {
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// ---- the event-journal store
//
// The driver writes its event journals below the data directory the installation records in
// HKLM\SYSTEM\CurrentControlSet\Services\Kestro Vantor\Paths, value NvxProgramDataDir: an NT path
// (\??\C:\ProgramData\Kestro\Vantor), since the driver and the service open it with the native
// file calls. One directory per journal type under <data>\Data\Event Journals\KestroNVX, made
// when the driver loads.

const char* const kJournalTypes[] = {
    "System",          "DirectoryChanges", "FileBinaryChanges", "FileDataChanges", "FileOtherChanges",
    "FileBinaryReads", "FileDataReads",    "FileOtherReads",    "FileHashes",      "FileProperties",
    "ProcessProperties", "Process",        "Thread",            "Image",           "Registry",
    "Dns",             "Http",             "Ip",                "Network",         "Url",
};

// The store's directory as a Win32 path; false (with the reason) without a data directory.
bool JournalRoot(std::wstring* root, std::string* problem) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Kestro Vantor\\Paths", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        *problem = "no Paths key: the installation records no data directory";
        return false;
    }
    wchar_t data[512] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(key, L"NvxProgramDataDir", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || data[0] == 0) {
        *problem = "no NvxProgramDataDir value (error " + std::to_string(rc) + ")";
        return false;
    }
    std::wstring dir = data;
    if (dir.compare(0, 4, L"\\??\\") == 0) dir.erase(0, 4);
    *root = dir + L"\\Data\\Event Journals\\KestroNVX";
    return true;
}

// Makes a directory and its parents.
void MakeDirectories(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

// Makes the store's 20 directories (and their parents) as the driver does when it loads.
bool EnsureJournalStore(std::wstring* root, std::string* problem) {
    if (!JournalRoot(root, problem)) return false;
    MakeDirectories(*root);
    for (const char* type : kJournalTypes) {
        std::wstring dir = *root + L"\\" + Wide(type);
        if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *problem = "cannot create " + Utf8(dir) + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
    }
    return true;
}

// Journal bytes: "text" (records of words, compressible as real journals are), "random"
// (incompressible) or "zero". Deterministic for a seed and the offset the bytes go to.
void FillJournalBytes(const std::string& content, uint64_t seed, uint64_t offset, std::vector<uint8_t>* out) {
    static const char* const kWords[] = {"process", "thread", "image", "registry", "key", "value", "file",
                                         "read", "write", "create", "delete", "rename", "network", "dns",
                                         "http", "connect", "0x7ffe0000", "C:\\Windows\\System32", "pid",
                                         "tid", "ok", "denied", "url", "hash"};
    uint64_t state = (seed * 0x9E3779B97F4A7C15ull) ^ (offset + 0x632BE59BD9B4E019ull);
    auto next = [&state]() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    };
    if (content == "zero") {
        std::fill(out->begin(), out->end(), 0);
    } else if (content == "random") {
        for (auto& byte : *out) byte = static_cast<uint8_t>(next() >> 56);
    } else {
        size_t at = 0;
        while (at < out->size()) {
            uint64_t r = next();
            std::string word = kWords[r % (sizeof kWords / sizeof kWords[0])];
            word += (r >> 32) % 9 == 0 ? "\r\n" : " ";
            for (size_t i = 0; i < word.size() && at < out->size(); ++i) (*out)[at++] = static_cast<uint8_t>(word[i]);
        }
    }
}

void JournalAnswer(const char* event, const std::wstring& path, uint64_t size) {
    PrintLine(Json().Str("event", event).Str("path", Utf8(path)).Num("size", size).Text());
}

int JournalFail(int code, const std::string& why) {
    PrintLine(Json().Str("event", "error").Str("error", why).Text());
    return code;
}

// Appends `bytes` bytes of the content to the open file, from its end.
bool AppendJournalBytes(HANDLE file, const std::string& content, uint64_t seed, uint64_t bytes, std::string* problem) {
    LARGE_INTEGER end{};
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, &end, FILE_END)) {
        *problem = "cannot seek (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    uint64_t offset = static_cast<uint64_t>(end.QuadPart);
    std::vector<uint8_t> chunk;
    while (bytes > 0) {
        chunk.resize(static_cast<size_t>(std::min<uint64_t>(bytes, 0x100000)));
        FillJournalBytes(content, seed, offset, &chunk);
        DWORD written = 0;
        if (!WriteFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) ||
            written != chunk.size()) {
            *problem = "write failed (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        offset += written;
        bytes -= written;
    }
    return true;
}

// nvxdriver journal dirs | write DIR NAME [--size N] [--content C] [--seed S]
//                 | grow DIR NAME --by N [--times K] [--every-ms T] [--content C] [--seed S]
//                 | shrink DIR NAME --to N | remove DIR [NAME]
int JournalCommand(const std::vector<std::string>& args) {
    Options o;
    std::string problem;
    if (args.empty()) return JournalFail(2, "journal dirs|write|grow|shrink|remove");
    const std::string& action = args[0];
    if (!ParseOptions(args, 1, {"--size", "--content", "--seed", "--by", "--times", "--every-ms", "--to"}, {}, &o,
                      &problem)) {
        return JournalFail(2, problem);
    }
    std::wstring root;
    if (action == "dirs" && o.words.empty()) {
        if (!EnsureJournalStore(&root, &problem)) return JournalFail(1, problem);
        PrintLine(Json().Str("event", "store").Str("root", Utf8(root)).Num("directories", 20).Text());
        return 0;
    }
    if (o.words.empty() || o.words.size() > 2) return JournalFail(2, "journal " + action + " DIR NAME");
    if (!JournalRoot(&root, &problem)) return JournalFail(1, problem);
    std::wstring dir = root + L"\\" + Wide(o.words[0]);
    if (action == "remove") {
        if (o.words.size() == 2) {
            std::wstring path = dir + L"\\" + Wide(o.words[1]);
            if (!DeleteFileW(path.c_str())) {
                return JournalFail(1, "cannot delete " + Utf8(path) + " (error " + std::to_string(GetLastError()) + ")");
            }
            JournalAnswer("removed", path, 0);
            return 0;
        }
        if (!RemoveDirectoryW(dir.c_str())) {
            return JournalFail(1, "cannot remove " + Utf8(dir) + " (error " + std::to_string(GetLastError()) + ")");
        }
        JournalAnswer("removed", dir, 0);
        return 0;
    }
    if (o.words.size() != 2) return JournalFail(2, "journal " + action + " DIR NAME");
    std::string content = o.values.count("--content") ? o.values["--content"] : "text";
    if (content != "text" && content != "random" && content != "zero") {
        return JournalFail(2, "--content must be text, random or zero");
    }
    uint64_t size, seed, by, times, everyMs, to;
    if (!NumberOption(o, "--size", 4096, UINT64_MAX >> 1, &size, &problem) ||
        !NumberOption(o, "--seed", 1, UINT64_MAX, &seed, &problem) ||
        !NumberOption(o, "--by", 0, UINT64_MAX >> 1, &by, &problem) ||
        !NumberOption(o, "--times", 1, 1000000, &times, &problem) ||
        !NumberOption(o, "--every-ms", 1000, 3600000, &everyMs, &problem) ||
        !NumberOption(o, "--to", 0, UINT64_MAX >> 1, &to, &problem)) {
        return JournalFail(2, problem);
    }
    if (action != "write" && action != "grow" && action != "shrink") {
        return JournalFail(2, "unknown journal command " + action);
    }
    if (action == "grow" && !o.values.count("--by")) return JournalFail(2, "journal grow needs --by N");
    if (action == "shrink" && !o.values.count("--to")) return JournalFail(2, "journal shrink needs --to N");
    // The directory a journal goes to need not be one of the 20: any name below the store. The
    // others are made only when the driver loads (or by `journal dirs`).
    MakeDirectories(dir);
    std::wstring path = dir + L"\\" + Wide(o.words[1]);
    DWORD disposition = action == "write" ? CREATE_ALWAYS : OPEN_EXISTING;
    // Shared as the driver shares its journals: the service may list, read and delete meanwhile.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return JournalFail(1, "cannot open " + Utf8(path) + " (error " + std::to_string(GetLastError()) + ")");
    }
    bool ok = true;
    if (action == "write") {
        ok = AppendJournalBytes(file, content, seed, size, &problem);
    } else if (action == "grow") {
        for (uint64_t i = 0; ok && i < times; ++i) {
            if (i > 0) Sleep(static_cast<DWORD>(everyMs));
            ok = AppendJournalBytes(file, content, seed, by, &problem);
            LARGE_INTEGER now{};
            GetFileSizeEx(file, &now);
            if (ok && i + 1 < times) JournalAnswer("grown", path, static_cast<uint64_t>(now.QuadPart));
        }
    } else {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(to);
        ok = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
        if (!ok) problem = "cannot cut (error " + std::to_string(GetLastError()) + ")";
    }
    LARGE_INTEGER final{};
    GetFileSizeEx(file, &final);
    CloseHandle(file);
    if (!ok) return JournalFail(1, Utf8(path) + ": " + problem);
    JournalAnswer(action == "write" ? "written" : action == "grow" ? "grown" : "shrunk", path,
                  static_cast<uint64_t>(final.QuadPart));
    return 0;
}

int Serve(const std::wstring& journalPath, bool portsClosed) {
    gUnloadEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE control = CreateControlInstance(true);
    if (control == INVALID_HANDLE_VALUE) {
        Json j;
        j.Str("event", "error")
            .Str("error", "a driver of instance " + Utf8(gInstance) + " is already running (error " +
                              std::to_string(GetLastError()) + ")");
        PrintLine(j.Text());
        return 1;
    }
    if (!gJournal.Open(journalPath)) {
        Json j;
        j.Str("event", "error")
            .Str("error",
                 "cannot open the journal " + Utf8(journalPath) + " (error " + std::to_string(GetLastError()) + ")");
        PrintLine(j.Text());
        return 1;
    }
    gPortsOpen = !portsClosed;
    Json load;
    load.Num("pid", GetCurrentProcessId()).Str("instance", Utf8(gInstance)).Bool("ports_open", gPortsOpen);
    // The event-journal store is there once the driver has loaded (without a data directory the
    // driver still serves its ports).
    std::wstring journalRoot;
    std::string storeProblem;
    if (EnsureJournalStore(&journalRoot, &storeProblem)) {
        load.Str("event_journals", Utf8(journalRoot));
    } else {
        load.Str("event_journals_error", storeProblem);
    }
    gJournal.Write("load", load);
    if (gPortsOpen) OpenPorts();
    HANDLE thread = CreateThread(nullptr, 0, ControlThread, control, 0, nullptr);
    if (thread == nullptr) return 1;
    CloseHandle(thread);

    Json ready;
    ready.Str("event", "ready").Num("pid", GetCurrentProcessId()).Str("instance", Utf8(gInstance));
    ready.Str("journal", Utf8(journalPath)).Bool("ports_open", gPortsOpen);
    PrintLine(ready.Text());

    WaitForSingleObject(gUnloadEvent, INFINITE);
    gJournal.Write("unload", Json().Num("pid", GetCurrentProcessId()));
    // Ending the process closes every port and connection at once, as an unloading driver does:
    // the service's outstanding receive completes with a broken pipe.
    ExitProcess(0);
    return 0;
}

int Client(const std::vector<std::string>& args) {
    const std::wstring name = ControlPipeName();
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    for (;;) {
        pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY || GetTickCount64() >= deadline) {
            Json j;
            j.Str("event", "error")
                .Str("error", error == ERROR_FILE_NOT_FOUND
                                  ? "the driver simulator is not running"
                                  : "cannot reach the driver simulator: error " + std::to_string(error));
            PrintLine(j.Text());
            return error == ERROR_FILE_NOT_FOUND ? 3 : 1;
        }
        WaitNamedPipeW(name.c_str(), 1000);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    std::vector<uint8_t> request;
    for (const auto& arg : args) {
        request.insert(request.end(), arg.begin(), arg.end());
        request.push_back(0);
    }
    DWORD written;
    if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) {
        PrintLine(Json().Str("event", "error").Str("error", "the driver closed its control pipe").Text());
        CloseHandle(pipe);
        return 1;
    }
    std::vector<uint8_t> answer;
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(pipe, chunk, sizeof chunk, &got, nullptr);
        answer.insert(answer.end(), chunk, chunk + got);
        if (ok || GetLastError() != ERROR_MORE_DATA) break;
    }
    CloseHandle(pipe);
    if (answer.size() < 4) {
        PrintLine(Json().Str("event", "error").Str("error", "the driver gave no answer").Text());
        return 1;
    }
    fwrite(answer.data() + 4, 1, answer.size() - 4, stdout);
    fflush(stdout);
    return static_cast<int>(GetU32(answer.data()));
}

int Usage() {
    fputs(
        "usage: nvxdriver serve [--instance NAME] [--journal PATH] [--ports-closed]\n"
        "       nvxdriver ctl [--instance NAME] COMMAND [ARGS...]\n"
        "       nvxdriver journal dirs | write DIR NAME [--size N] [--content text|random|zero] [--seed S]\n"
        "                 | grow DIR NAME --by N [--times K] [--every-ms T] | shrink DIR NAME --to N\n"
        "                 | remove DIR [NAME]\n"
        "commands: status, open-ports, send, event, reg, raw, answer, queue-full, disconnect,\n"
        "          wait-connect, clear, unload (see the head of nvxdriver.cpp)\n",
        stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // JSON lines end in LF only
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
    wchar_t instance[128];
    DWORD n = GetEnvironmentVariableW(L"NVXSIM_DRIVER_INSTANCE", instance, 128);
    if (n > 0 && n < 128) gInstance = instance;
    if (args.empty()) return Usage();
    const std::string mode = args[0];
    size_t at = 1;
    std::wstring journal = L"C:\\nvxsim\\driver\\received.jsonl";
    bool portsClosed = false;
    while (at < args.size()) {
        if (args[at] == "--instance" && at + 1 < args.size()) {
            gInstance = Wide(args[at + 1]);
            at += 2;
        } else if (mode == "serve" && args[at] == "--journal" && at + 1 < args.size()) {
            journal = Wide(args[at + 1]);
            at += 2;
        } else if (mode == "serve" && args[at] == "--ports-closed") {
            portsClosed = true;
            ++at;
        } else {
            break;
        }
    }
    for (wchar_t& c : gInstance) {
        if (c == L'\\') c = L'.';
    }
    if (mode == "serve") return at == args.size() ? Serve(journal, portsClosed) : Usage();
    if (mode == "ctl" && at < args.size()) return Client(std::vector<std::string>(args.begin() + at, args.end()));
    if (mode == "journal" && at < args.size()) {
        return JournalCommand(std::vector<std::string>(args.begin() + at, args.end()));
    }
    return Usage();
}
