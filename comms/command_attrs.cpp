#include "comms/command_attrs.h"

#include <cstdio>
#include <cstring>

#include "comms/async_channel.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/sg_containers.h"

using namespace nvx_wire;

namespace {

constexpr uint32_t kRegistryBuckets = 128;
constexpr uint32_t kNameHashMask = 127;
constexpr uint32_t kErrorTextBufferSize = 64;

struct Registry {
    SgHashTable* table;
    CRITICAL_SECTION lock;
};

Registry g_registry;

// A lower-cased name as looked up: text and length including the NUL.
struct AttrKey {
    char text[kCommandAttrNameMax + 1];
    uint32_t length;
};

SgRefFields RefOf(SgCommandAttr* attribute) {
    return {&attribute->lock, &attribute->referenceCount, &attribute->deletePending};
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Lower-cases (A-Z only) the first `length` characters of `name` into `key`; length <= 63.
void MakeKey(const char* name, uint32_t length, AttrKey* key) {
    for (uint32_t i = 0; i < length; ++i) key->text[i] = LowerAscii(name[i]);
    key->text[length] = '\0';
    key->length = length + 1;
}

uint32_t HashKey(const AttrKey& key) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i + 1 < key.length; ++i) sum += static_cast<uint8_t>(key.text[i]);
    return sum & kNameHashMask;
}

bool CompareElements(const SgObject* candidate, const SgObject* present) {
    const auto* a = reinterpret_cast<const SgCommandAttr*>(candidate);
    const auto* b = reinterpret_cast<const SgCommandAttr*>(present);
    return a->keyLength == b->keyLength && memcmp(a->key, b->key, a->keyLength) == 0;
}

bool CompareKey(const SgObject* element, const void* key) {
    const auto* attribute = reinterpret_cast<const SgCommandAttr*>(element);
    const auto* k = static_cast<const AttrKey*>(key);
    return attribute->keyLength == k->length && memcmp(attribute->key, k->text, k->length) == 0;
}

// Looks the key up and references what it finds, all under the registry lock, so that the
// shutdown's table destroy cannot take the attribute away between lookup and reference.
SgCommandAttr* FindAndReference(const AttrKey& key) {
    if (g_registry.table == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgFindCommandAttr: the registry is not initialised");
        return nullptr;
    }
    EnterCriticalSection(&g_registry.lock);
    auto* attribute = reinterpret_cast<SgCommandAttr*>(SgHashLookup(g_registry.table, HashKey(key), &key));
    if (attribute != nullptr) SgRefAdd(RefOf(attribute));
    LeaveCriticalSection(&g_registry.lock);
    return attribute;
}

const char* KindName(uint8_t kind) {
    switch (kind) {
        case kKindGet:
            return "Get";
        case kKindSet:
            return "Set";
        case kKindCall:
            return "Call";
        case kKindExec:
            return "Exec";
        default:
            return "unknown";
    }
}

// Calls a handler by its arity. False (logged) when the arity is not one the kind allows;
// otherwise *result is the handler's result (1 for an arity-4 Exec handler).
bool CallHandler(const SgCommandAttr* attribute, uint8_t kind, uint8_t arity, void* handler, SgMessage* m,
                 uint8_t* result) {
    if (handler == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: command attribute %s has no %s handler",
                     attribute->name, KindName(kind));
        return false;
    }
    const char* arguments = m->arguments;
    const uint64_t extra = attribute->extraArgument;
    switch (arity) {
        case 0:
            *result = reinterpret_cast<SgCommandHandler0>(handler)();
            return true;
        case 1:
            *result = reinterpret_cast<SgCommandHandler1>(handler)(m);
            return true;
        case 2:
            *result = reinterpret_cast<SgCommandHandler2>(handler)(m, arguments);
            return true;
        case 3:
            if (kind == kKindSet) {
                *result = reinterpret_cast<SgCommandHandler3Set>(handler)(m, arguments, extra);
            } else {
                *result = reinterpret_cast<SgCommandHandler3>(handler)(m, arguments, static_cast<uint32_t>(extra));
            }
            return true;
        case 4:
            if (kind != kKindExec) break;
            reinterpret_cast<SgCommandHandler4>(handler)(m, arguments, extra);
            *result = 1;
            return true;
        default:
            break;
    }
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: %s handler of %s has invalid arity %u", KindName(kind),
                 attribute->name, arity);
    return false;
}

// The automatic "Success" after a Set, Call or Exec. A handler that has already sent its own
// final reply suppresses it, so each command receives at most one final reply.
void Acknowledge(SgMessage* m) {
    if (m->attribute->acknowledge && !m->finalReplySent) SgSendCommandReply(m, "Success");
}

// Runs the command against its attribute (kind already checked). True when it succeeded.
bool Dispatch(SgMessage* m, uint8_t kind) {
    const SgCommandAttr* attribute = m->attribute;
    uint8_t result = 0;
    switch (kind) {
        case kKindGet:
            // Handlers and checks log their own failures; a result of 0 only fails the command.
            return CallHandler(attribute, kind, attribute->getArity, attribute->getHandler, m, &result) && result != 0;
        case kKindSet:
            if (m->arguments == nullptr) {
                SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: Set of %s without argument text",
                             attribute->name);
                return false;
            }
            if (attribute->preCheck != nullptr && !attribute->preCheck(m)) return false;
            // The Set handler's result is not used: the post-check decides.
            if (!CallHandler(attribute, kind, attribute->setArity, attribute->setHandler, m, &result)) return false;
            if (attribute->postCheck != nullptr && !attribute->postCheck(m)) return false;
            Acknowledge(m);
            return true;
        case kKindCall:
        case kKindExec: {
            const bool call = kind == kKindCall;
            if (!CallHandler(attribute, kind, call ? attribute->callArity : attribute->execArity,
                             call ? attribute->callHandler : attribute->execHandler, m, &result)) {
                return false;
            }
            if (result == 0) return false;
            if (result == 1) Acknowledge(m);
            return true;
        }
        default:
            return false;
    }
}

bool Permitted(const SgCommandAttr* attribute, uint8_t kind) {
    switch (kind) {
        case kKindGet:
            return attribute->getPermitted != 0;
        case kKindSet:
            return attribute->setPermitted != 0;
        case kKindCall:
            return attribute->callPermitted != 0;
        case kKindExec:
            return attribute->execPermitted != 0;
        default:
            return false;
    }
}

bool IsNameEnd(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\0'; }

// Builds a final reply to `request` carrying `text` and hands it to the router. The request's
// marks are set only once the router has taken the reply.
bool SendReply(SgMessage* request, const char* text, uint8_t flags, const char* caller) {
    const SgRouterFn router = SgGetRouter();
    if (router == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "%s: the channel's router is not set", caller);
        return false;
    }
    if (request == nullptr || request->message == nullptr || SgMessageHeader(request)->type != kTypeCommand ||
        SgMessageHeader(request)->size < kCommandFixedSize) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "%s: the request is not a command message", caller);
        return false;
    }
    const CommandMsg* c = SgCommandOf(request);
    if (request->finalReplySent) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "%s: request %u has already received its final reply", caller,
                     c->requestId);
        return false;
    }
    if (text == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "%s: no reply text", caller);
        return false;
    }
    const size_t length = strlen(text) + 1;
    if (length > kMaxCommandPayload) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "%s: reply text of %llu bytes is too long", caller,
                     static_cast<unsigned long long>(length));
        return false;
    }
    SgMessage* reply = SgCreateCommandMessage(c->sourceComponentId, static_cast<uint32_t>(length), c->kind);
    if (reply == nullptr) return false;  // logged where it failed
    CommandMsg* r = SgCommandOf(reply);
    r->flags = flags;
    r->requestId = c->requestId;
    r->payloadFormat = kPayloadText;
    r->destinationProcessId = c->sourceProcessId;
    r->destinationProcessKey = c->sourceProcessKey;
    memcpy(reply->payload, text, length);

    // A reply that could not be routed has been logged by the router, which saw why.
    if (router(reply) != kCommSuccess) {
        SgDestroyMessage(reply);
        return false;
    }
    request->replySent = 1;
    request->finalReplySent = 1;
    return true;
}

}  // namespace

bool SgInitCommandAttrs() {
    // The channel sets the router again when it comes up.
    SgClearRouter();
    if (g_registry.table != nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgInitCommandAttrs: the registry is already initialised");
        return false;
    }
    SgHashTable* table = SgCreateHashTable();
    if (table == nullptr) return false;  // the pool has logged it
    table->compareElements = CompareElements;
    table->compareKey = CompareKey;
    table->freeMode = kSgFreeWhenDestroyed;
    if (!SgSetHashBuckets(table, kRegistryBuckets)) {
        SgDisposeObject(&table->header, kSgFreeAlways);
        return false;
    }
    InitializeCriticalSection(&g_registry.lock);
    g_registry.table = table;
    return true;
}

void SgShutdownCommandAttrs() {
    if (g_registry.table == nullptr) return;
    // Table lock, then each attribute's lock inside SgDeleteCommandAttr. An attribute still
    // referenced elsewhere survives with deletion pending; its last release frees it.
    EnterCriticalSection(&g_registry.lock);
    SgDisposeObject(&g_registry.table->header, kSgFreeAlways);
    g_registry.table = nullptr;
    LeaveCriticalSection(&g_registry.lock);
    DeleteCriticalSection(&g_registry.lock);
}

SgCommandAttr* SgCreateCommandAttr(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgCreateCommandAttr: no name");
        return nullptr;
    }
    const size_t length = strnlen(name, kCommandAttrNameMax + 1);
    if (length > kCommandAttrNameMax) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgCreateCommandAttr: name %.63s... is longer than %u characters",
                     name, kCommandAttrNameMax);
        return nullptr;
    }
    if (g_registry.table == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgCreateCommandAttr: the registry is not initialised");
        return nullptr;
    }
    AttrKey key;
    MakeKey(name, static_cast<uint32_t>(length), &key);
    const uint32_t hash = HashKey(key);

    EnterCriticalSection(&g_registry.lock);
    SgCommandAttr* attribute = nullptr;
    if (SgHashLookup(g_registry.table, hash, &key) != nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgCreateCommandAttr: command attribute %s is already registered",
                     name);
    } else if ((attribute = static_cast<SgCommandAttr*>(SgAllocMem(sizeof(SgCommandAttr)))) != nullptr) {
        memset(attribute, 0, sizeof(*attribute));
        attribute->header.bucket = hash;
        attribute->header.size = sizeof(SgCommandAttr);
        attribute->header.destroy = SgDeleteCommandAttr;
        memcpy(attribute->key, key.text, key.length);
        memcpy(attribute->name, name, length + 1);
        attribute->keyLength = key.length;
        attribute->acknowledge = 1;
        // The registry's own reference: given up only by the table destroy at shutdown, so a
        // message that still holds the attribute then delays its deletion instead of losing it.
        SgRefInit(RefOf(attribute));
        // The lookup above found no equal key under this hold of the registry lock.
        SgHashInsertAbsent(g_registry.table, &attribute->header);
        // The creator's reference, released with SgReleaseCommandAttr once configured.
        SgRefAdd(RefOf(attribute));
    }
    LeaveCriticalSection(&g_registry.lock);
    return attribute;
}

SgCommandAttr* SgFindCommandAttr(const char* name) {
    if (name == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgFindCommandAttr: no name");
        return nullptr;
    }
    const size_t length = strnlen(name, kCommandAttrNameMax + 1);
    if (length > kCommandAttrNameMax) return nullptr;  // no key is that long
    AttrKey key;
    MakeKey(name, static_cast<uint32_t>(length), &key);
    return FindAndReference(key);
}

void SgReleaseCommandAttr(SgCommandAttr* attribute) {
    if (attribute == nullptr) return;
    const SgRefFields ref = RefOf(attribute);
    switch (SgRefRelease(ref)) {
        case kSgRefWasZero:
            SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR,
                         "SgReleaseCommandAttr: Releasing command attribute with count 0, %s", attribute->name);
            break;
        case kSgRefDestroy:
            // The registry has already let go of it (and may itself be gone).
            if (SgDeleteCommandAttr(&attribute->header)) SgFreeMem(attribute);
            break;
        default:
            break;
    }
}

bool SgDeleteCommandAttr(SgObject* object) {
    auto* attribute = reinterpret_cast<SgCommandAttr*>(object);
    if (attribute == nullptr) return false;
    if (!SgRefTryDestroy(RefOf(attribute), nullptr)) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "SgDeleteCommandAttr: Delay deleting command attribute, %s",
                     attribute->name);
        return false;
    }
    return true;  // SgRefTryDestroy has deleted the lock; the attribute owns nothing else
}

bool SgExecuteCommand(SgMessage* m) {
    if (m == nullptr || m->message == nullptr || SgMessageHeader(m)->type != kTypeCommand ||
        SgMessageHeader(m)->size < kCommandFixedSize) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: not a command message");
        return false;
    }
    const CommandMsg* c = SgCommandOf(m);
    if (c->flags & kFlagReply) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: request %u is a reply", c->requestId);
        return false;
    }
    if (!(c->flags & kFlagFinal)) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: command %u without the final flag", c->requestId);
        return false;
    }
    if (c->payloadFormat != kPayloadText) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: command %u has payload format %u", c->requestId,
                     c->payloadFormat);
        return false;
    }
    if (m->payload == nullptr || m->payloadLength == 0 || m->payload[m->payloadLength - 1] != '\0') {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: command %u has no NUL-terminated text",
                     c->requestId);
        return false;
    }

    // Name: up to the first blank, TAB or line feed (or the NUL); longer words are cut to the
    // key size but passed over whole. Blanks and TABs after it are not part of the arguments.
    const char* text = reinterpret_cast<const char*>(m->payload);
    const uint32_t n = m->payloadLength;
    uint32_t i = 0;
    uint32_t kept = 0;
    char name[kCommandAttrNameMax + 1];
    for (; !IsNameEnd(text[i]); ++i) {
        if (kept < kCommandAttrNameMax) name[kept++] = text[i];
    }
    name[kept] = '\0';
    while (text[i] == ' ' || text[i] == '\t') ++i;
    // The final NUL stops both scans, so the argument text holds at least that NUL.
    m->arguments = const_cast<char*>(text + i);
    m->argumentLength = n - i;

    AttrKey key;
    MakeKey(name, kept, &key);
    SgCommandAttr* attribute = FindAndReference(key);
    if (attribute == nullptr) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: unknown command %s", name);
        SgSendCommandError(m);
        return false;
    }
    // The message holds the reference from here on; its destroy releases it.
    if (m->attribute != nullptr) SgReleaseCommandAttr(m->attribute);
    m->attribute = attribute;

    const uint8_t kind = c->kind;
    if (!Permitted(attribute, kind)) {
        SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "SgExecuteCommand: %s (kind %u) is not permitted for %s",
                     KindName(kind), kind, attribute->name);
        return false;
    }
    if (!Dispatch(m, kind)) return false;
    SgDestroyMessage(m);
    return true;
}

bool SgSendCommandReply(SgMessage* request, const char* text) {
    return SendReply(request, text, kFlagReply | kFlagFinal, "SgSendCommandReply");
}

bool SgSendCommandError(SgMessage* request) {
    auto* text = static_cast<char*>(SgAllocMem(kErrorTextBufferSize));
    if (text == nullptr) return false;  // the pool has logged it
    snprintf(text, kErrorTextBufferSize, "ERROR: 0x%08x", static_cast<unsigned>(kCommUnknownCommand));
    const bool sent = SendReply(request, text, kFlagReply | kFlagFinal | kFlagError, "SgSendCommandError");
    SgFreeMem(text);
    return sent;
}
