// The fields of a message, by name (see driver_decoder.h).
#include "sim/driver_decoder.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "comms/wire_format.h"

namespace w = nvx_wire;
using nvxsim::Json;

namespace nvxdriver {

namespace {

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
    if (flags & 0xF0) out += (out.empty() ? "" : "|") + nvxsim::Hex32(flags & 0xF0u);
    return out;
}

void AddPayload(Json& j, const uint8_t* p, size_t n) {
    size_t text = 0;
    while (text < n && p[text] != 0) ++text;
    j.Num("payload_size", n).Bytes("text", p, text).Bool("nul_terminated", n > 0 && p[n - 1] == 0);
    j.Str("payload_hex", nvxsim::HexOf(p, n));
}

}  // namespace

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

}  // namespace nvxdriver
