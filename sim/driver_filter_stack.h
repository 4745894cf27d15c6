// The filter stack the driver simulator publishes while it is loaded: a machine's Filter Manager
// stack with the NVX minifilter among other filters, in the description the fltlib.dll stand-in
// answers its filter and instance walks from (sim/filter_stack.h), so the service's telemetry finds
// the driver's instances as it finds a real driver's.
//
// Guarantees: the description exists while the driver runs and is removed when it unloads; it is
// written in one rename. Its system volume is the device the machine's %SystemDrive% names
// (QueryDosDeviceW), exactly the text the service compares instance volumes with.
#pragma once

#include <string>

namespace nvxdriver {

// Writes the stack to nvxsim::FilterStackPath() (its directory made first). False with the reason.
bool PublishFilterStack(std::string* problem);

// Removes the published description, as the driver's instances detach when it unloads.
void WithdrawFilterStack();

}  // namespace nvxdriver
