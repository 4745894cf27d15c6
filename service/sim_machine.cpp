// The simulated machine's stand-ins inside the service: compiled into the test build only.
// The OS under the simulated machine has no protected processes (UpdateProcThreadAttribute
// refuses PROC_THREAD_ATTRIBUTE_PROTECTION_LEVEL with ERROR_NOT_SUPPORTED), so there the WSC
// client is started as an ordinary process. The shipped service installs none of this.
#if !defined(NVX_SIM_MACHINE)
#error "sim_machine.cpp belongs to the simulated machine's build of the service only"
#endif

#include <windows.h>

#include "comms/wsc_client.h"
#include "runtime/debug_log.h"

namespace {

bool AllowUnprotectedStart(DWORD error) {
    if (error != ERROR_NOT_SUPPORTED) return false;
    SgDebugPrint(SG_FAC_POLICY, SG_LVL_DEBUG,
                 "Simulated machine: protection level refused (error %lu), WSCClient starts as an ordinary process",
                 static_cast<unsigned long>(error));
    return true;
}

// Installed during static initialisation, before anything of the service runs.
const bool gInstalled = [] {
    SgSetWscUnprotectedStart(AllowUnprotectedStart);
    return true;
}();

}  // namespace
