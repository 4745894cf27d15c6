// Command handling without the channel, for test programs: commands made as the driver sends them
// and passed through the receive rules, executed as the channel's router executes them, and the
// replies the service routes kept by a capturing router in place of the channel's.
//
// Link nvx_command_harness before nvx_log_capture and nvx_runtime (see log_capture.h). Not safe
// to use from more than one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "comms/messages.h"
#include "comms/wire_format.h"
#include "tests/support/log_capture.h"

namespace nvx_test {

// A command to the service from component 12, process 4242 with key 7, with `text` as its payload
// (and its final NUL unless `withNul` is false), passed through the receive rules: nullptr when
// they refuse it.
SgMessage* ReceivedCommand(const std::string& text, uint8_t kind, uint32_t requestId = 77,
                           uint8_t flags = nvx_wire::kFlagRequest | nvx_wire::kFlagFinal, bool withNul = true,
                           uint8_t format = nvx_wire::kPayloadText);

// Executes `m` as the router does: a message the executor did not consume is destroyed here. A
// null `m` (a command the test meant to be well formed) fails the test.
bool ExecuteAsRouter(SgMessage* m);
// A well-formed request with `text` and `kind`, received and executed as the router does.
bool ExecuteCommand(const std::string& text, uint8_t kind);

// Routes the service's replies to the capture from now on, answering kCommSuccess.
void CaptureReplies();
// What the capturing router answers from now on. On kCommSuccess it takes the reply, as the
// channel's router does; on any other status the reply stays with its builder and is not kept.
void SetRouterStatus(uint32_t status);
// The replies taken so far, oldest first. A test may destroy some itself and remove them here.
std::vector<SgMessage*>& Replies();
// Destroys the replies taken and clears the router.
void ReleaseReplies();

// The payload of a message as it carries it (a final NUL included).
std::string PayloadOf(const SgMessage* m);

}  // namespace nvx_test
