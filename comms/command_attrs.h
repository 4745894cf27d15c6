// Command attributes: named entry points that the driver invokes with a CommandMsg whose
// payload starts with the name. The registry is keyed by the lower-cased name.
#pragma once

#include <windows.h>

#include <cstdint>

#include "comms/messages.h"
#include "runtime/sg_object.h"

constexpr uint32_t kCommandAttrNameMax = 63;

typedef bool (*SgCommandCheckFn)(SgMessage* message);

struct SgCommandAttr {
    SgObject header;
    uint32_t referenceCount;
    char key[64];        // lower-cased name (A-Z only), NUL-terminated
    char name[64];       // as registered
    uint32_t keyLength;  // including the NUL
    SgCommandCheckFn preCheck;
    SgCommandCheckFn postCheck;
    CRITICAL_SECTION lock;  // guards referenceCount and deletePending
    uint8_t deletePending;
    uint8_t getPermitted, setPermitted, callPermitted, execPermitted;
    uint8_t acknowledge;
    uint8_t getArity, setArity, callArity, execArity;
    void* getHandler;
    void* setHandler;
    void* callHandler;
    void* execHandler;
    uint64_t extraArgument;
};

// Handler shapes by arity (the result: 1 = done).
typedef uint8_t (*SgCommandHandler0)();
typedef uint8_t (*SgCommandHandler1)(SgMessage* message);
typedef uint8_t (*SgCommandHandler2)(SgMessage* message, const char* arguments);
typedef uint8_t (*SgCommandHandler3)(SgMessage* message, const char* arguments, uint32_t extra);
typedef uint8_t (*SgCommandHandler3Set)(SgMessage* message, const char* arguments, uint64_t extra);
typedef uint8_t (*SgCommandHandler4)(SgMessage* message, const char* arguments, uint64_t extra);

// Creates the registry (128 buckets) and its lock, and clears the channel's router pointer.
bool SgInitCommandAttrs();
// Destroys the registry: each attribute through SgDeleteCommandAttr.
void SgShutdownCommandAttrs();
// Registers `name` (1 to 63 characters); null when the lower-cased name is already registered
// (the existing attribute is left as it is). The registry holds one reference on every
// attribute it contains, given up only when it is destroyed; the caller receives a second one,
// configures the attribute and then gives it up with SgReleaseCommandAttr.
SgCommandAttr* SgCreateCommandAttr(const char* name);
// The attribute registered under `name` (any case) with one reference added for the caller.
SgCommandAttr* SgFindCommandAttr(const char* name);
// Drops one reference; a delete-pending attribute whose last reference goes is freed.
void SgReleaseCommandAttr(SgCommandAttr* attribute);
// The destroy operation: with other references left, deletion is delayed (answers false).
bool SgDeleteCommandAttr(SgObject* attribute);
// Executes a non-reply command addressed to the service; true = consumed (destroyed).
bool SgExecuteCommand(SgMessage* message);
// Final replies (flags 0x06; the error reply 0x0E with "ERROR: 0xe0020007") handed to the
// channel's router. Refused without a router, for a request that is not a CommandMsg, and once
// the request's final reply has been sent.
bool SgSendCommandReply(SgMessage* request, const char* text);
bool SgSendCommandError(SgMessage* request);
