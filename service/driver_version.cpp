#include "service/driver_version.h"

#include <windows.h>

#include <cstdint>
#include <iterator>

#include "runtime/compiler.h"
#include "runtime/debug_log.h"
#include "runtime/identity.h"
#include "runtime/memory.h"
#include "runtime/os_paths.h"
#include "runtime/system_library.h"
#include "runtime/unistr.h"

namespace {

constexpr DWORD kStartDisabled = SERVICE_DISABLED;
static_assert(kStartDisabled == 4);
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

// version.dll is loaded from System32 at the first check rather than imported: it is not among the
// libraries every process has, and an imported one would be looked for beside the executable
// first, before main (runtime/system_library.h).
enum VersionProc : size_t { kInfoSize, kInfo, kQueryValue };
const char* const kVersionProcNames[] = {"GetFileVersionInfoSizeW", "GetFileVersionInfoW", "VerQueryValueW"};
FARPROC gVersionProcs[std::size(kVersionProcNames)];
SgSystemLibrary gVersion = SG_SYSTEM_LIBRARY("version.dll", kVersionProcNames, gVersionProcs);

template <typename F>
F VersionCall(VersionProc proc) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(gVersionProcs[proc]));
}

// The major version of the file's version resource, or -1 when it has none that can be read (or
// version.dll could not be loaded, logged once by the loader).
int DriverMajorVersion(const UNICODE_STRING* file) {
    DWORD error = ERROR_SUCCESS;
    if (!SgLoadSystemLibrary(&gVersion, &error)) return -1;
    auto GetFileVersionInfoSizeW = VersionCall<decltype(&::GetFileVersionInfoSizeW)>(kInfoSize);
    auto GetFileVersionInfoW = VersionCall<decltype(&::GetFileVersionInfoW)>(kInfo);
    auto VerQueryValueW = VersionCall<decltype(&::VerQueryValueW)>(kQueryValue);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(file->Buffer, &ignored);
    void* info = size != 0 ? SgAllocMem(size) : nullptr;
    if (size != 0 && info == nullptr) return -1;  // logged by the pool
    int major = -1;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (info != nullptr && GetFileVersionInfoW(file->Buffer, 0, size, info) &&
        VerQueryValueW(info, L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        major = static_cast<int>(HIWORD(fixed->dwFileVersionMS));
    } else {
        // A missing or unversioned driver file changes nothing; the line says why.
        SG_COUNTED_FORMAT_BEGIN
        SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_DEBUG, "Unable to read the version of %wZ, error = %lu", file,
                     static_cast<unsigned long>(GetLastError()));
        SG_COUNTED_FORMAT_END
    }
    if (info != nullptr) SgFreeMem(info);
    return major;
}

// Sets Start to 4 on an open service key; true on success.
bool DisableService(HKEY key) {
    DWORD value = kStartDisabled;
    return RegSetValueExW(key, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
           ERROR_SUCCESS;
}

}  // namespace

int CheckDriverDowngrade() {
    if (SystemRoot == nullptr) return 0;
    UNICODE_STRING* root = SgGetUserPathFromKernelPathW(SystemRoot);
    if (root == nullptr) return 0;
    UNICODE_STRING* file =
        SgAppendUnistrChars(root, kDriverFileBelowRoot, sizeof(kDriverFileBelowRoot) - sizeof(wchar_t));
    SgFreeUnistr(root);
    if (file == nullptr) return 0;
    int major = DriverMajorVersion(file);
    SgFreeUnistr(file);
    if (major < 0 || major >= 2) return 0;

    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_INFO, "NVX downgraded from 2.x to 1.x");
    UNICODE_STRING* path = SgCreateUnistrFromWide(kServiceKeyPath);
    if (path == nullptr) {
        SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_ERROR, "Error creating path for the NVXS registry key");
        return 1;
    }
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path->Buffer, 0, KEY_ALL_ACCESS, &key);
    SgFreeUnistr(path);
    if (rc != ERROR_SUCCESS) {
        SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_ERROR,
                     "Kestro Vantor Service service is not supported prior to NVX 2.x, error opening the service "
                     "registry key");
        return 1;
    }
    if (DisableService(key)) {
        SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_INFO,
                     "Kestro Vantor Service service is not supported prior to NVX 2.x, service disabled on reboot");
    } else {
        SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_ERROR,
                     "Kestro Vantor Service service is not supported prior to NVX 2.x, error setting the Start value "
                     "to 4");
    }
    RegCloseKey(key);

    path = SgCreateUnistrFromWide(kElamKeyPath);
    if (path == nullptr) {
        SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_ERROR, "Error creating path for the Kestro ELAM registry key");
        return 1;
    }
    rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path->Buffer, 0, KEY_ALL_ACCESS, &key);
    SgFreeUnistr(path);
    // A machine without the early-launch driver has nothing more to disable.
    if (rc != ERROR_SUCCESS) return 1;
    if (DisableService(key)) {
        SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_INFO,
                     "Kestro ELAM service is not supported prior to NVX 2.x, service disabled on reboot");
    } else {
        SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_ERROR,
                     "Kestro ELAM service is not supported prior to NVX 2.x, error setting the Start value to 4");
    }
    RegCloseKey(key);
    return 1;
}
