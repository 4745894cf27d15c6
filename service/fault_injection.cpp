#include "service/fault_injection.h"

#include <windows.h>

#include "runtime/debug_log.h"
#include "runtime/threads.h"

#if defined(NVX_FAULT_INJECTION)

namespace {

DWORD ReadParameter(HKEY key, const wchar_t* name) {
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return 0;
    }
    return value;
}

}  // namespace

void ApplyFaultInjection() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Kestro Vantor Service\\Parameters", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    // The Nth worker-thread start of the process fails (1 = the first one).
    DWORD failStart = ReadParameter(key, L"TestFailThreadStart");
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
