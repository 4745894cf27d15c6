#include "service/fault_injection.h"

#include <windows.h>

#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/registry.h"
#include "runtime/threads.h"

#if defined(NVX_FAULT_INJECTION)

#include "telemetry/telemetry_testing.h"

namespace {

// A ProgramData lookup that fails as SHGetKnownFolderPath does for a folder it cannot locate.
HRESULT FailingProgramDataLookup(PWSTR* folder) {
    *folder = nullptr;
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

}  // namespace

void ApplyFaultInjection() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    // The Nth worker-thread start of the process fails (1 = the first one).
    uint32_t failStart = 0;
    if (SgReadRegistryDword(key, L"TestFailThreadStart", &failStart) != SG_REG_DWORD_OK) failStart = 0;
    // 1: the telemetry's ProgramData lookup fails, so each snapshot goes to the fallback text log.
    uint32_t failProgramData = 0;
    if (SgReadRegistryDword(key, L"TestFailProgramDataLookup", &failProgramData) != SG_REG_DWORD_OK) {
        failProgramData = 0;
    }
    RegCloseKey(key);
    if (failStart > 0) {
        SgThreadFailStarts(failStart - 1, 1);
        SgDebugPrint(SG_FAC_INIT, SG_LVL_WARNING, "Test build: thread start %lu will fail",
                     static_cast<unsigned long>(failStart));
    }
    if (failProgramData == 1) {
        Kestro::Telemetry::SetProgramDataLookupForTesting(FailingProgramDataLookup);
        SgDebugPrint(SG_FAC_INIT, SG_LVL_WARNING, "Test build: the telemetry's ProgramData lookup will fail");
    }
}

#else

void ApplyFaultInjection() {}

#endif
