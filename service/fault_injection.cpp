#include "service/fault_injection.h"

#include <windows.h>

#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/registry.h"

#if defined(NVX_FAULT_INJECTION)

#include "runtime/fault_seam_testing.h"

namespace {

// A REG_SZ value of at most `capacity - 1` characters; false when absent or of another type.
bool ReadString(HKEY key, const wchar_t* name, wchar_t* text, DWORD capacity) {
    DWORD type = 0;
    DWORD bytes = (capacity - 1) * sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    text[bytes / sizeof(wchar_t)] = L'\0';
    return true;
}

uint32_t ReadDword(HKEY key, const wchar_t* name, uint32_t fallback) {
    uint32_t value = 0;
    return SgReadRegistryDword(key, name, &value) == SG_REG_DWORD_OK ? value : fallback;
}

}  // namespace

void ApplyFaultInjection() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    wchar_t countsFile[MAX_PATH];
    if (ReadString(key, L"TestFaultCountsFile", countsFile, MAX_PATH)) SgFaultSetCountsFile(countsFile);

    wchar_t name[64];
    bool named = ReadString(key, L"TestFaultOperation", name, 64);
    const uint32_t call = ReadDword(key, L"TestFaultCall", 1);
    const uint32_t count = ReadDword(key, L"TestFaultCount", 1);
    const uint32_t error = ReadDword(key, L"TestFaultError", 0);
    const uint32_t failStart = ReadDword(key, L"TestFailThreadStart", 0);
    const uint32_t failProgramData = ReadDword(key, L"TestFailProgramDataLookup", 0);
    RegCloseKey(key);

    if (named) {
        SgFaultOp op;
        if (!SgFaultOpFromName(name, &op)) {
            SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Test build: no fault operation named %ls", name);
        } else if (call > 0 && count > 0) {
            SgFaultArm(op, call, count, error);
            SgDebugPrint(SG_FAC_INIT, SG_LVL_WARNING, "Test build: %s call %lu (%lu calls) will fail with 0x%08lx",
                         SgFaultOpName(op), static_cast<unsigned long>(call), static_cast<unsigned long>(count),
                         static_cast<unsigned long>(error != 0 ? error : SgFaultDefaultError(op)));
        }
    }
    if (failStart > 0) {
        SgFaultArm(SG_FAULT_THREAD_CREATE, failStart, 1, 0);
        SgDebugPrint(SG_FAC_INIT, SG_LVL_WARNING, "Test build: thread start %lu will fail",
                     static_cast<unsigned long>(failStart));
    }
    if (failProgramData == 1) {
        SgFaultArm(SG_FAULT_KNOWN_FOLDER, 1, UINT32_MAX, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        SgDebugPrint(SG_FAC_INIT, SG_LVL_WARNING, "Test build: the telemetry's ProgramData lookup will fail");
    }
}

#else

void ApplyFaultInjection() {}

#endif
