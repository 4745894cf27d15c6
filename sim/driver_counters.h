// The driver simulator's performance-counter sets: the eleven sets the NVX driver registers,
// published in the counter-sets file (sim/counter_sets.h) that the pdh.dll stand-in reads, so the
// service's perf logger finds them as it finds a real driver's.
//
// Guarantees: the file exists while the driver runs and is removed when it unloads, so the
// sets appear and vanish with the driver; every change replaces the whole file in one rename, so a
// reader sees the old values or the new ones, never a mix. Values change only through `ctl
// counters set`; each change is written at once.
//
//   ctl counters set SET INSTANCE COUNTER VALUE     one raw value ("" as INSTANCE for a set
//                                                   without instances); names as published,
//                                                   matched without regard to ASCII case
#pragma once

#include <string>
#include <vector>

#include "sim/driver_commands.h"
#include "sim/simsupport.h"

namespace nvxdriver {

// Writes the sets with their starting values to nvxsim::CounterSetsPath() (its directory made
// first). False with the reason.
bool PublishCounterSets(std::string* problem);

// Removes the published file, as the sets vanish when the driver unloads.
void WithdrawCounterSets();

// `counters set ...` (args[0] is "counters").
int CountersCommand(const std::vector<std::string>& args, Reply* r);

}  // namespace nvxdriver
