// The driver simulator's round-trip load (`nvxdriver ctl flood`): one command to a connection
// of the asynchronous port, its final reply awaited, the next command at once, for a set time.
//
// Guarantees: exactly one command is in flight at a time, so a round trip's latency is the time
// from just before the driver writes the command to the moment the port server has taken the
// final reply carrying its request ID; every command and reply goes through the same port code,
// and into the same journal, as `send --wait-reply`. With --beside a second connection is
// flooded in the same run: after each connection's warm-up the two take turns in slices of
// --slice-ms until each has had --seconds of round trips, so that both meet the same load of the
// host (a comparison made one after the other on a busy host measures the host). The answer is
// one {"event":"flood",...} line per connection (--conn's first) with the counts and latencies of
// its measured part, or an error line (exit 1) when a command could not be delivered or its final
// reply did not come in time.
#pragma once

#include <string>
#include <vector>

#include "sim/driver_commands.h"

namespace nvxdriver {

// flood [--seconds N] [--warmup-ms N] [--conn N] [--beside N] [--slice-ms N] [--timeout-ms N] [TEXT...]
//   TEXT is the command (default "Version"), sent as a Get request to component 30 from 12.
int FloodCommand(const std::vector<std::string>& args, Reply* r);

}  // namespace nvxdriver
