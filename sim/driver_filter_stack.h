// The filter stack the driver simulator publishes while it is loaded: a machine's Filter Manager
// stack with the NVX minifilter among other filters, in the description the fltlib.dll stand-in
// answers its filter and instance walks from (sim/filter_stack.h), so the service's telemetry finds
// the driver's instances as it finds a real driver's.
//
// Guarantees: the description exists while the driver runs and is removed when it unloads; it is
// written in one rename, so a walk sees the old stack or the new one. Its system volume is the
// device the machine's %SystemDrive% names (QueryDosDeviceW), exactly the text the service
// compares instance volumes with. Only the driver writes it; the host changes it through `ctl`:
//
//   ctl filters set PATH     the description at PATH (a file in the machine, read whole and checked
//                            by the description's own parser) becomes the published stack
//   ctl filters reset        the driver's own stack again
// Both answer {"event":"filters","source":PATH or "default","filters":N,"instances":M}. A path
// rather than the text is taken because a description has no length limit while a command line
// has, and its TABs and line ends would have to survive the command line's quoting.
#pragma once

#include <string>
#include <vector>

#include "sim/driver_commands.h"

namespace nvxdriver {

// Writes the stack to nvxsim::FilterStackPath() (its directory made first). False with the reason.
bool PublishFilterStack(std::string* problem);

// Removes the published description, as the driver's instances detach when it unloads.
void WithdrawFilterStack();

// `filters set PATH` and `filters reset` (args[0] is "filters").
int FiltersCommand(const std::vector<std::string>& args, Reply* r);

}  // namespace nvxdriver
