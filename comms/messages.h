// SgMessage: a driver message held in memory while it is routed, answered or discarded.
// One pool allocation: the object part followed by the message bytes it points at.
#pragma once

#include <cstdint>

#include "comms/wire_format.h"
#include "runtime/sg_object.h"

struct SgCommandAttr;

struct SgMessage {
    SgObject header;   // queue links, hash links, bucket, size, destroy = SgDeleteMessage
    uint8_t* message;  // the message bytes (normally the inline bytes below)
    uint8_t* payload;  // start of the payload inside the message, null when there is none
    char* arguments;   // received command: start of the argument text inside the payload
    uint32_t payloadLength;
    uint32_t argumentLength;   // from the argument start to the payload end, NUL included
    SgCommandAttr* attribute;  // the attribute a received command resolved to (one reference held)
    uint8_t replySent;
    uint8_t finalReplySent;
    uint8_t outgoing;  // built by the service: the router stamps the source fields
    // message bytes follow
};

// Views of the message bytes (valid only for a message of that type and size).
inline nvx_wire::MsgHeader* SgMessageHeader(SgMessage* m) { return reinterpret_cast<nvx_wire::MsgHeader*>(m->message); }
inline nvx_wire::CommandMsg* SgCommandOf(SgMessage* m) { return reinterpret_cast<nvx_wire::CommandMsg*>(m->message); }

// Zero-filled object with room for `size` message bytes; null for 0 or when the pool is exhausted.
SgMessage* SgCreateRecvMessage(uint32_t size);
// A CommandMsg request to `destination` with room for `payloadLength` payload bytes; null for a
// payload above 0x3FFC8 bytes or a kind outside 1 to 4. Marked outgoing.
SgMessage* SgCreateCommandMessage(uint32_t destination, uint32_t payloadLength, uint8_t kind);
// A RegRequestMsg (tag 0x32, context marker 0) for `componentId`.
SgMessage* SgCreateRegistrationMessage(uint32_t componentId);
// Copies and validates received bytes; null when they are refused.
SgMessage* SgParseMessage(const void* bytes, uint32_t size);
// Validates a message already copied into `m` (size = the number of bytes received) and sets
// its payload fields. False when it must be refused.
bool SgValidateMessage(SgMessage* m, uint32_t size);
// The receive path's checks on one completed receive of `bytes` bytes at `frame`, the Filter
// Manager's 16-byte header first: a frame of 16 bytes or less, a message whose size field
// differs from the bytes received after that header (logged, with the receive buffer's
// `index`) or one above 0x40000 bytes is refused, as is one SgValidateMessage refuses. The
// message, copied and validated, or null.
SgMessage* SgAcceptReceivedFrame(uint32_t index, const uint8_t* frame, uint32_t bytes);
// The destroy operation: releases the attribute reference; true = the memory may be freed.
bool SgDeleteMessage(SgObject* object);
// SgDeleteMessage followed by SgFreeMem.
void SgDestroyMessage(SgMessage* m);
