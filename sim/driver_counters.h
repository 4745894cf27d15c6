// The driver simulator's performance-counter sets: the eleven sets the NVX driver registers,
// published in the counter-sets file (sim/counter_sets.h) that the pdh.dll stand-in reads, so the
// service's perf logger finds them as it finds a real driver's.
//
// Guarantees: the file exists while the driver runs and is removed when it unloads, so the
// sets appear and vanish with the driver; every change replaces the whole file in one rename, so a
// reader sees the old sets or the new ones, never a mix. The sets change only through `ctl
// counters ...`; each change is written at once. Names are matched without regard to ASCII case.
//
//   ctl counters set SET INSTANCE COUNTER VALUE       one raw value ("" as INSTANCE for a set
//                                                     without instances)
//   ctl counters status SET INSTANCE COUNTER STATUS   the counter status a collection gives that
//                                                     value (a 32-bit number; 0 clears it)
//   ctl counters add-instance SET INSTANCE            a new instance of a set with instances, its
//                                                     values 0
//   ctl counters remove-instance SET INSTANCE         the instance goes, with its values
//   ctl counters add-counter SET COUNTER [VALUE]      a new counter in every instance (VALUE, else 0)
//   ctl counters unregister SET                       the set vanishes from the file
//   ctl counters register SET                         one of the driver's sets comes back with its
//                                                     starting values, in the driver's order
//   ctl counters reset                                the driver's sets and starting values again
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

// `counters ACTION ...` (args[0] is "counters").
int CountersCommand(const std::vector<std::string>& args, Reply* r);

}  // namespace nvxdriver
