#include "comms/messages.h"

#include <cstddef>
#include <cstring>

#include "comms/command_attrs.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"

using namespace nvx_wire;

namespace {

uint8_t* InlineBytes(SgMessage* m) { return reinterpret_cast<uint8_t*>(m + 1); }

// Sets the payload fields of a message whose payload starts at `offset` (within `size`).
void SetPayload(SgMessage* m, uint32_t offset, uint32_t size) {
    m->payload = m->message + offset;
    m->payloadLength = size - offset;
}

}  // namespace

SgMessage* SgCreateRecvMessage(uint32_t size) {
    if (size == 0) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgCreateRecvMessage: zero message size");
        return nullptr;
    }
    // No message on the port is larger; the limit also keeps the object size within 32 bits.
    if (size > kMaxMessageSize) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgCreateRecvMessage: message size %u is above 0x%X", size,
                     kMaxMessageSize);
        return nullptr;
    }
    const uint32_t total = static_cast<uint32_t>(sizeof(SgMessage)) + size;
    auto* m = static_cast<SgMessage*>(SgAllocMem(total));
    if (m == nullptr) return nullptr;  // the pool has logged it
    memset(m, 0, total);
    m->header.size = total;
    m->header.destroy = SgDeleteMessage;
    m->message = InlineBytes(m);
    return m;
}

SgMessage* SgCreateCommandMessage(uint32_t destination, uint32_t payloadLength, uint8_t kind) {
    if (payloadLength > kMaxCommandPayload) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgCreateCommandMessage: payload of %u bytes is above 0x%X",
                     payloadLength, kMaxCommandPayload);
        return nullptr;
    }
    if (kind < kKindGet || kind > kKindExec) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgCreateCommandMessage: invalid command kind %u", kind);
        return nullptr;
    }
    const uint32_t size = kCommandFixedSize + payloadLength;
    SgMessage* m = SgCreateRecvMessage(size);
    if (m == nullptr) return nullptr;
    CommandMsg* c = SgCommandOf(m);
    c->header.version = kHeaderVersion;
    c->header.type = kTypeCommand;
    c->header.tag = kTagCommand;
    c->header.size = size;
    c->bodyVersion = kBodyVersion;
    c->flags = kFlagRequest;
    c->kind = kind;
    c->payloadFormat = kPayloadText;
    c->destinationComponentId = destination;
    SetPayload(m, kCommandFixedSize, size);
    m->outgoing = 1;
    return m;
}

SgMessage* SgCreateRegistrationMessage(uint32_t componentId) {
    SgMessage* m = SgCreateRecvMessage(kRegRequestSize);
    if (m == nullptr) return nullptr;
    auto* r = reinterpret_cast<RegRequestMsg*>(m->message);
    r->header.version = kHeaderVersion;
    r->header.type = kTypeRegRequest;
    r->header.tag = kTagRegRequest;
    r->header.size = kRegRequestSize;
    r->bodyVersion = kBodyVersion;
    r->contextMarker = 0;
    r->componentId = componentId;
    return m;
}

// Malformed input comes from the other side of the port: it is refused quietly, and the
// receive path drops it.
bool SgValidateMessage(SgMessage* m, uint32_t size) {
    if (m == nullptr || m->message == nullptr || size < sizeof(MsgHeader)) return false;
    const MsgHeader* h = SgMessageHeader(m);
    if (h->version != kHeaderVersion || h->size != size) return false;
    switch (h->type) {
        case kTypeRegRequest:
            return size == kRegRequestSize && reinterpret_cast<const RegRequestMsg*>(h)->bodyVersion == kBodyVersion;
        case kTypeCommand: {
            if (size < kCommandFixedSize) return false;
            const CommandMsg* c = SgCommandOf(m);
            if (c->bodyVersion != kBodyVersion) return false;
            // Exactly one of request and reply.
            const uint8_t direction = c->flags & (kFlagRequest | kFlagReply);
            if (direction != kFlagRequest && direction != kFlagReply) return false;
            SetPayload(m, kCommandFixedSize, size);
            return true;
        }
        case kTypeEvent:
            if (size < kEventFixedSize || reinterpret_cast<const EventMsg*>(h)->bodyVersion != kBodyVersion) {
                return false;
            }
            SetPayload(m, kEventFixedSize, size);
            return true;
        default:
            return false;
    }
}

SgMessage* SgParseMessage(const void* bytes, uint32_t size) {
    if (bytes == nullptr || size == 0 || size > kMaxMessageSize) return nullptr;
    SgMessage* m = SgCreateRecvMessage(size);
    if (m == nullptr) return nullptr;
    memcpy(m->message, bytes, size);
    if (!SgValidateMessage(m, size)) {
        SgDestroyMessage(m);
        return nullptr;
    }
    return m;
}

SgMessage* SgAcceptReceivedFrame(uint32_t index, const uint8_t* frame, uint32_t bytes) {
    if (frame == nullptr || bytes <= kFilterMessageHeaderSize) return nullptr;
    const uint32_t length = bytes - kFilterMessageHeaderSize;
    const uint8_t* message = frame + kFilterMessageHeaderSize;
    uint32_t declared = 0;
    if (length >= sizeof(MsgHeader)) memcpy(&declared, message + offsetof(MsgHeader, size), sizeof(declared));
    if (declared != length) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "[%lu] Number of bytes received do not match %lu != %lu",
                     static_cast<unsigned long>(index), static_cast<unsigned long>(length),
                     static_cast<unsigned long>(declared));
        return nullptr;
    }
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "[%lu] Received %d bytes", static_cast<unsigned long>(index),
                 static_cast<int>(length));
    return SgParseMessage(message, length);
}

bool SgDeleteMessage(SgObject* object) {
    auto* m = reinterpret_cast<SgMessage*>(object);
    if (m == nullptr) return false;
    if (m->attribute != nullptr) {
        SgCommandAttr* attribute = m->attribute;
        m->attribute = nullptr;
        SgReleaseCommandAttr(attribute);
    }
    return true;
}

void SgDestroyMessage(SgMessage* m) {
    if (m != nullptr && SgDeleteMessage(&m->header)) SgFreeMem(m);
}
