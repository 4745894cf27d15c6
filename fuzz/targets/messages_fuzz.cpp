// The driver's messages as the receive path takes them: one completed receive (the Filter
// Manager's 16-byte header, then the input as the message), its checks and validation, and for
// a request to the service the command dispatch with its handlers and reply builders.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "comms/command_attrs.h"
#include "comms/messages.h"
#include "fuzz/platform/fuzz_support.h"

using namespace nvx_wire;

namespace {

// One completed receive of `message` (the input as the driver sent it).
void Receive(const uint8_t* data, size_t size) {
    // Exactly the bytes received, so that any read past them is seen.
    std::vector<uint8_t> frame(kFilterMessageHeaderSize + size);
    if (size > 0) memcpy(frame.data() + kFilterMessageHeaderSize, data, size);
    const auto bytes = static_cast<uint32_t>(frame.size());
    SgMessage* m = SgAcceptReceivedFrame(0, frame.data(), bytes);

    // The copy-and-validate entry point must agree with the receive path.
    SgMessage* parsed = size > 0 ? SgParseMessage(data, static_cast<uint32_t>(size)) : nullptr;
    NvxFuzzRequire((m == nullptr) == (parsed == nullptr), "SgParseMessage and the receive path disagree");
    if (parsed != nullptr) SgDestroyMessage(parsed);
    if (m == nullptr) return;

    const MsgHeader* h = SgMessageHeader(m);
    NvxFuzzRequire(h->size == size && h->version == kHeaderVersion, "an accepted message has a wrong header");
    if (m->payload != nullptr) {
        NvxFuzzRequire(m->payload >= m->message && m->payload + m->payloadLength == m->message + size,
                       "the payload does not end with the message");
    }
    const CommandMsg* c = SgCommandOf(m);
    // A request to the service is executed; everything else is dropped (or relayed).
    if (h->type == kTypeCommand && c->destinationComponentId == kServiceComponentId && !(c->flags & kFlagReply)) {
        NvxFuzzResetObserved();
        if (!SgExecuteCommand(m)) SgDestroyMessage(m);
        NvxFuzzRequire(NvxFuzzObservedCalls().repliesRouted <= 1, "a command received two final replies");
    } else {
        SgDestroyMessage(m);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NvxFuzzInit(kNvxFuzzMemory | kNvxFuzzPaths | kNvxFuzzCommands);
    if (size > kMaxMessageSize + 64) return -1;
    const NvxFuzzBaseline baseline = NvxFuzzTakeBaseline();
    Receive(data, size);
    // The same bytes with the size field made to match their number, so that every input also
    // reaches the checks behind the receive path's size comparison.
    if (size >= sizeof(MsgHeader)) {
        std::vector<uint8_t> matched(data, data + size);
        const auto declared = static_cast<uint32_t>(size);
        memcpy(matched.data() + offsetof(MsgHeader, size), &declared, sizeof(declared));
        Receive(matched.data(), size);
    }
    NvxFuzzCheckBaseline(baseline, "one driver message");
    return 0;
}
