// Command handling without the channel, for test programs (see command_harness.h).
#include "tests/support/command_harness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "comms/async_channel.h"
#include "comms/command_attrs.h"

namespace nvx_test {

namespace {

std::vector<SgMessage*> g_replies;
uint32_t g_routerStatus = nvx_wire::kCommSuccess;

uint32_t CaptureRouter(SgMessage* reply) {
    if (g_routerStatus == nvx_wire::kCommSuccess) g_replies.push_back(reply);
    return g_routerStatus;
}

}  // namespace

SgMessage* ReceivedCommand(const std::string& text, uint8_t kind, uint32_t requestId, uint8_t flags, bool withNul,
                           uint8_t format) {
    using namespace nvx_wire;
    std::string payload = text;
    if (withNul) payload.push_back('\0');
    const uint32_t size = kCommandFixedSize + static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> bytes(size);
    CommandMsg c{};
    c.header = {kHeaderVersion, 0, kTypeCommand, kTagCommand, size};
    c.bodyVersion = kBodyVersion;
    c.flags = flags;
    c.kind = kind;
    c.payloadFormat = format;
    c.requestId = requestId;
    c.sourceComponentId = 12;
    c.destinationComponentId = kServiceComponentId;
    c.sourceProcessId = 4242;
    c.sourceProcessKey = 7;
    memcpy(bytes.data(), &c, sizeof(c));
    memcpy(bytes.data() + kCommandFixedSize, payload.data(), payload.size());
    return SgParseMessage(bytes.data(), size);
}

bool ExecuteAsRouter(SgMessage* m) {
    if (m == nullptr) {
        ADD_FAILURE() << "the test command is not well formed";
        return false;
    }
    if (SgExecuteCommand(m)) return true;
    SgDestroyMessage(m);
    return false;
}

bool ExecuteCommand(const std::string& text, uint8_t kind) { return ExecuteAsRouter(ReceivedCommand(text, kind)); }

void CaptureReplies() {
    g_routerStatus = nvx_wire::kCommSuccess;
    SgSetRouter(CaptureRouter);
}

void SetRouterStatus(uint32_t status) { g_routerStatus = status; }

std::vector<SgMessage*>& Replies() { return g_replies; }

void ReleaseReplies() {
    for (SgMessage* reply : g_replies) SgDestroyMessage(reply);
    g_replies.clear();
    SgClearRouter();
}

std::string PayloadOf(const SgMessage* m) {
    return std::string(reinterpret_cast<const char*>(m->payload), m->payloadLength);
}

}  // namespace nvx_test
