// The driver simulator's round-trip load (`nvxdriver ctl flood`): one command to a connection
// of the asynchronous port, its final reply awaited, the next command at once, for a set time.
//
// Guarantees: exactly one command is in flight at a time, so a round trip's latency is the time
// from just before the driver writes the command to the moment the port server has taken the
// final reply carrying its request ID; every command and reply goes through the same port code,
// and into the same journal, as `send --wait-reply`. The answer is one {"event":"flood",...}
// line with the counts and latencies of the measured part (after the warm-up), or an error line
// (exit 1) when a command could not be delivered or its final reply did not come in time.
#pragma once

#include <string>
#include <vector>

#include "sim/driver_commands.h"

namespace nvxdriver {

// flood [--seconds N] [--warmup-ms N] [--conn N] [--timeout-ms N] [TEXT...]
//   TEXT is the command (default "Version"), sent as a Get request to component 30 from 12.
int FloodCommand(const std::vector<std::string>& args, Reply* r);

}  // namespace nvxdriver
