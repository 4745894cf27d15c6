#include "service/fault_injection.h"

#include <windows.h>

#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/registry.h"
#include "runtime/threads.h"

#if defined(NVX_FAULT_INJECTION)

void ApplyFaultInjection() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    // The Nth worker-thread start of the process fails (1 = the first one).
    uint32_t failStart = 0;
    if (SgReadRegistryDword(key, L"TestFailThreadStart", &failStart) != SG_REG_DWORD_OK) failStart = 0;
    RegCloseKey(key);
    if (failStart > 0) {
        SgThreadFailStarts(failStart - 1, 1);
        SgDebugPrint(SG_FAC_INIT, SG_LVL_WARNING, "Test build: thread start %lu will fail",
                     static_cast<unsigned long>(failStart));
    }
}

#else

void ApplyFaultInjection() {}

#endif
