// The driver simulator's control commands (see driver_commands.h).
#include "sim/driver_commands.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "comms/wire_format.h"
#include "sim/driver_counters.h"
#include "sim/driver_decoder.h"
#include "sim/driver_filter_stack.h"
#include "sim/driver_flood.h"
#include "sim/driver_options.h"
#include "sim/driver_ports.h"
#include "sim/filter_stack.h"

namespace w = nvx_wire;
using nvxsim::Hex32;
using nvxsim::Json;
using nvxsim::ParseNumber;

namespace nvxdriver {

namespace {

constexpr DWORD kDefaultConnectWaitMs = 10000;
constexpr uint32_t kDefaultSourceComponent = 12;
// The most a frame can hold: the service receives into FILTER_MESSAGE_HEADER + the largest message.
constexpr uint32_t kMaxFrameSize = w::kFilterMessageHeaderSize + w::kMaxMessageSize;

std::wstring gInstance;
Recorder* gJournal = nullptr;
std::atomic<uint32_t> gNextRequestId{1};

template <typename T>
std::vector<uint8_t> BytesOf(const T& record) {
    std::vector<uint8_t> out;
    nvxsim::PutRecord(out, record);
    return out;
}

// Bytes given in the file --hex-file names, as the same hex the command line takes: a command
// line holds at most 32767 characters, too few for the largest frames and payloads.
bool HexFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* problem) {
    std::string text;
    bool missing = false;
    if (!nvxsim::ReadSimFile(nvxsim::Wide(path), &text, &missing, problem)) return false;
    if (missing) {
        *problem = path + ": no such file";
        return false;
    }
    if (!nvxsim::ParseHex(text, bytes)) {
        *problem = path + ": not pairs of hexadecimal digits";
        return false;
    }
    return true;
}

// Payload of send/event: --hex (or --hex-file) bytes as they are, else the text with its NUL
// unless --no-nul.
bool PayloadOf(const Options& o, std::vector<uint8_t>* payload, std::string* problem) {
    auto hex = o.values.find("--hex");
    auto hexFile = o.values.find("--hex-file");
    if (hex != o.values.end() || hexFile != o.values.end()) {
        if (!o.words.empty() || o.values.count("--no-nul") || (hex != o.values.end() && hexFile != o.values.end())) {
            *problem = "--hex or --hex-file takes the place of TEXT and --no-nul";
            return false;
        }
        if (hexFile != o.values.end()) return HexFileBytes(hexFile->second, payload, problem);
        if (!nvxsim::ParseHex(hex->second, payload)) {
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

// send/event/reg/raw: the message goes to the service; `send --wait-reply` then collects the
// replies to its request ID.
int SendToService(const Options& o, const std::vector<uint8_t>& message, uint32_t requestId, uint64_t waitReplyMs,
                  Reply* r, bool wholeFrame = false) {
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
    if (waitReplyMs) WatchReplies(&waiter);
    uint64_t messageId = 0;
    const bool sent = Deliver(*c, message, static_cast<DWORD>(writeWaitMs), &messageId, &problem, wholeFrame);
    if (sent) {
        const size_t header = wholeFrame ? std::min(message.size(), sizeof(w::FilterMessageHeader)) : 0;
        Json line;
        line.Str("event", "sent")
            .Num("conn", ConnectionId(*c))
            .Num("message_id", messageId)
            .Num("size", message.size());
        if (wholeFrame) line.Bool("frame", true);
        line.Raw("msg", Decode(message.data() + header, message.size() - header).Text());
        r->Line(line);
    }
    if (waitReplyMs) {
        EndReplyWatch(&waiter, sent ? waitReplyMs : 0);
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
    if (!ParseOptions(args, 1,
                      {"--kind", "--flags", "--request-id", "--component", "--source-component", "--pid", "--key",
                       "--dest-pid", "--dest-key", "--format", "--body-version", "--hex", "--hex-file", "--wait-reply",
                       "--conn", "--timeout-ms"},
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
    uint64_t flags, requestId, destination, source, pid, key, destPid, destKey, format, bodyVersion, waitReply;
    if (!NumberOption(o, "--flags", w::kFlagRequest | w::kFlagFinal, 255, &flags, &problem) ||
        !NumberOption(o, "--request-id", 0, UINT32_MAX, &requestId, &problem) ||
        !NumberOption(o, "--component", w::kServiceComponentId, UINT32_MAX, &destination, &problem) ||
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
    // A request ID of the driver's own only for a command that is really sent.
    if (!o.values.count("--request-id")) requestId = NextRequestId();

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
    std::vector<uint8_t> message = BytesOf(m);
    message.insert(message.end(), payload.begin(), payload.end());
    return SendToService(o, message, m.requestId, waitReply, r);
}

int CmdEvent(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    uint64_t bodyVersion;
    if (!ParseOptions(args, 1, {"--body-version", "--hex", "--hex-file", "--conn", "--timeout-ms"}, {"--no-nul"}, &o,
                      &problem) ||
        !NumberOption(o, "--body-version", w::kBodyVersion, 255, &bodyVersion, &problem)) {
        return r->Fail(2, problem);
    }
    std::vector<uint8_t> payload;
    if (!PayloadOf(o, &payload, &problem)) return r->Fail(2, problem);
    if (payload.size() > w::kMaxMessageSize - sizeof(w::EventMsg)) return r->Fail(2, "the payload is too long");
    w::EventMsg m{};
    m.header = {w::kHeaderVersion, 0, w::kTypeEvent, 0, static_cast<uint32_t>(sizeof m + payload.size())};
    m.bodyVersion = static_cast<uint8_t>(bodyVersion);
    std::vector<uint8_t> message = BytesOf(m);
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
    return SendToService(o, BytesOf(m), 0, 0, r);
}

// raw: the bytes as one message behind the driver's FILTER_MESSAGE_HEADER; raw --frame: the
// bytes as the whole frame, so that a frame of any length up to what the service's receive
// takes (a bare or cut header, a size field that lies) reaches it. --hex-file FILE holds the hex
// instead of the words.
int CmdRaw(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    if (!ParseOptions(args, 1, {"--conn", "--timeout-ms", "--hex-file"}, {"--frame"}, &o, &problem))
        return r->Fail(2, problem);
    const bool wholeFrame = o.values.count("--frame") != 0;
    std::vector<uint8_t> message;
    auto hexFile = o.values.find("--hex-file");
    if (hexFile != o.values.end()) {
        if (!o.words.empty()) return r->Fail(2, "--hex-file takes the place of the hex bytes");
        if (!HexFileBytes(hexFile->second, &message, &problem)) return r->Fail(2, problem);
    } else if (!nvxsim::ParseHex(Joined(o.words), &message)) {
        return r->Fail(2, "raw needs the message as hex bytes");
    }
    if (message.empty() && !wholeFrame) return r->Fail(2, "raw needs the message as hex bytes");
    if (wholeFrame && message.size() > kMaxFrameSize) return r->Fail(2, "a frame is at most 0x40010 bytes");
    if (!wholeFrame && message.size() > w::kMaxMessageSize) return r->Fail(2, "a message is at most 0x40000 bytes");
    return SendToService(o, message, 0, 0, r, wholeFrame);
}

// answer STATUS COUNT [--hresult HR] [--length N]
int CmdAnswer(const std::vector<std::string>& args, Reply* r) {
    Options o;
    std::string problem;
    uint64_t status, count, hresult, length;
    if (!ParseOptions(args, 1, {"--hresult", "--length"}, {}, &o, &problem) ||
        !NumberOption(o, "--hresult", S_OK, UINT32_MAX, &hresult, &problem) ||
        !NumberOption(o, "--length", w::kSendStatusSize, kMaxFrameSize, &length, &problem)) {
        return r->Fail(2, problem);
    }
    if (o.words.size() != 2 || !ParseNumber(o.words[0], &status) || status > UINT32_MAX ||
        !ParseNumber(o.words[1], &count) || count > UINT32_MAX) {
        return r->Fail(2, "answer STATUS COUNT [--hresult HR] [--length N]");
    }
    SendAnswer answer;
    answer.status = static_cast<uint32_t>(status);
    answer.hresult = static_cast<uint32_t>(hresult);
    answer.length = static_cast<uint32_t>(length);
    answer.count = static_cast<uint32_t>(count);
    SetAnswer(answer);
    Json record;
    record.Str("status", Hex32(answer.status)).Num("count", count);
    record.Str("hresult", Hex32(answer.hresult)).Num("length", length);
    Json j;
    j.Str("event", "answer").Str("status", Hex32(answer.status)).Num("count", count);
    j.Str("hresult", Hex32(answer.hresult)).Num("length", length);
    r->Line(j);
    gJournal->Write(kEventAnswer, record);
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
        *port = kAllPorts;
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
    const size_t count = Disconnect(port);
    Json j;
    j.Str("event", "disconnected").Num("connections", count);
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
    std::shared_ptr<Connection> found = WaitForConnection(port, timeoutMs);
    if (!found) {
        return r->Fail(1, std::string("no connection on the ") + (port == kAsync ? "asynchronous" : "synchronous") +
                              " port within " + std::to_string(timeoutMs) + " ms");
    }
    Json j;
    j.Str("event", "connected").Str("port", PortLabel(port)).Num("conn", ConnectionId(*found));
    r->Line(j);
    return 0;
}

int CmdStatus(Reply* r) {
    const PortsStatus ports = GetPortsStatus();
    Json j;
    j.Str("event", "status").Num("pid", GetCurrentProcessId()).Str("instance", nvxsim::Utf8(gInstance));
    j.Bool("ports_open", ports.portsOpen).Str("answer_status", Hex32(ports.answer.status));
    j.Num("answer_left", ports.answer.count).Str("answer_hresult", Hex32(ports.answer.hresult));
    j.Num("answer_length", ports.answer.length);
    j.Num("records", gJournal->Count()).Raw("connections", ports.connections);
    r->Line(j);
    return 0;
}

int CmdOpenPorts(Reply* r) {
    const bool already = !OpenPorts();
    if (!already) gJournal->Write(kEventPortsOpen, Json());
    Json j;
    j.Str("event", "ports").Bool("open", true).Bool("already", already);
    r->Line(j);
    return 0;
}

}  // namespace

uint32_t NextRequestId() { return gNextRequestId++; }

int Reply::Fail(int exitCode, const std::string& why) {
    Json j;
    j.Str("event", "error").Str("error", why);
    Line(j);
    code = exitCode;
    return code;
}

void InitCommands(const std::wstring& instance, Recorder* journal) {
    gInstance = instance;
    gJournal = journal;
}

int RunCommand(const std::vector<std::string>& args, Reply* r) {
    if (args.empty()) return r->Fail(2, "no command");
    const std::string& command = args[0];
    if (command == "status" && args.size() == 1) return CmdStatus(r);
    if (command == "open-ports" && args.size() == 1) return CmdOpenPorts(r);
    if (command == "send") return CmdSend(args, r);
    if (command == "event") return CmdEvent(args, r);
    if (command == "reg") return CmdReg(args, r);
    if (command == "raw") return CmdRaw(args, r);
    if (command == "answer") return CmdAnswer(args, r);
    if (command == "queue-full" && args.size() == 2) {
        return CmdAnswer({"answer", Hex32(w::kCommQueueFull), args[1]}, r);
    }
    if (command == "flood") return FloodCommand(args, r);
    if (command == "counters") return CountersCommand(args, r);
    if (command == "filters") return FiltersCommand(args, r);
    if (command == "disconnect") return CmdDisconnect(args, r);
    if (command == "wait-connect") return CmdWaitConnect(args, r);
    if (command == "clear" && args.size() == 1) {
        gJournal->Clear();
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

}  // namespace nvxdriver
