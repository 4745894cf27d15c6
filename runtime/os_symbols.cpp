// The OS symbol table: finds or loads the five modules that provide the functions the
// service does not link directly, and fills one process-wide slot per function.
//
// The resolution order is data: kSymbols lists every (module, function) pair in the order
// the lookups happen. The slots themselves are defined from the same lists, so a
// function cannot be resolved without a slot or own a slot that is never resolved.
#include "runtime/os_symbols.h"

#include <cstdint>
#include <type_traits>

#include "runtime/debug_log.h"
#include "runtime/os_symbols_testing.h"

namespace {

// ---- modules --------------------------------------------------------------------------

// In load order.
enum OsModule : uint8_t { kNtdll, kKernel32, kAdvapi32, kSechost, kBcrypt, kModuleCount };

struct ModuleInfo {
    const char* name;
    bool mayLoad;    // false: only a module already in the process is used
    bool mustExist;  // false: absence is not reported here (missing slots decide)
};

constexpr ModuleInfo kModules[kModuleCount] = {
    {"ntdll.dll", false, true},   {"kernel32.dll", false, true}, {"advapi32.dll", true, true},
    {"sechost.dll", true, false}, {"bcrypt.dll", true, false},
};

HMODULE g_moduleHandles[kModuleCount];
// Set only when LoadLibraryA supplied the handle: only those references are ours to drop.
uint8_t g_moduleLoadedByUs[kModuleCount];

// ---- loader calls (replaceable by tests) ----------------------------------------------

bool g_testLoaderActive = false;
SgOsLoaderHooks g_testLoader;

HMODULE LoaderGetModuleHandleA(LPCSTR name) {
    return g_testLoaderActive ? g_testLoader.getModuleHandleA(name) : ::GetModuleHandleA(name);
}

HMODULE LoaderLoadLibraryA(LPCSTR name) {
    return g_testLoaderActive ? g_testLoader.loadLibraryA(name) : ::LoadLibraryA(name);
}

FARPROC LoaderGetProcAddress(HMODULE module, LPCSTR name) {
    return g_testLoaderActive ? g_testLoader.getProcAddress(module, name) : ::GetProcAddress(module, name);
}

BOOL LoaderFreeLibrary(HMODULE module) {
    return g_testLoaderActive ? g_testLoader.freeLibrary(module) : ::FreeLibrary(module);
}

// ---- slot access ----------------------------------------------------------------------

// GetProcAddress hands out a generic function pointer; the slot's own type is restored
// through void(*)(), the one function pointer type every other converts to without a
// cast-function-type diagnostic.
template <auto* Slot>
void StoreSlot(FARPROC address) {
    using Pfn = std::remove_reference_t<decltype(*Slot)>;
    *Slot = reinterpret_cast<Pfn>(reinterpret_cast<void (*)()>(address));
}

template <auto* Slot>
uintptr_t ReadSlot() {
    return reinterpret_cast<uintptr_t>(*Slot);
}

constexpr bool kRequired = true;
constexpr bool kOptional = false;

}  // namespace

// ---- the function lists, in resolution order within each group ------------------------
// X(module, function, required)

#define SG_NTDLL_SYMBOLS(X, M)                 \
    X(M, NtClose, kRequired)                   \
    X(M, NtCreateFile, kRequired)              \
    X(M, NtOpenFile, kRequired)                \
    X(M, NtReadFile, kRequired)                \
    X(M, NtWriteFile, kRequired)               \
    X(M, NtQueryInformationFile, kRequired)    \
    X(M, NtQueryDirectoryFile, kRequired)      \
    X(M, NtSetInformationFile, kRequired)      \
    X(M, NtFlushBuffersFile, kRequired)        \
    X(M, NtQueryObject, kRequired)             \
    X(M, NtOpenDirectoryObject, kRequired)     \
    X(M, NtOpenSymbolicLinkObject, kRequired)  \
    X(M, NtQuerySymbolicLinkObject, kRequired) \
    X(M, NtQuerySystemInformation, kRequired)  \
    X(M, NtOpenProcess, kRequired)             \
    X(M, NtQueryVirtualMemory, kRequired)      \
    X(M, NtReadVirtualMemory, kRequired)       \
    X(M, NtWriteVirtualMemory, kRequired)      \
    X(M, NtQueryInformationProcess, kRequired) \
    X(M, NtOpenProcessToken, kRequired)        \
    X(M, NtQueryInformationToken, kRequired)   \
    X(M, NtOpenThread, kRequired)              \
    X(M, NtQueryInformationThread, kRequired)  \
    X(M, RtlIpv6StringToAddressExA, kRequired)

#define SG_KERNEL32_SYMBOLS(X, M) X(M, SetConsoleCtrlHandler, kRequired)

#define SG_SERVICE_SYMBOLS(X, M)                   \
    X(M, StartServiceCtrlDispatcherA, kRequired)   \
    X(M, StartServiceCtrlDispatcherW, kRequired)   \
    X(M, RegisterServiceCtrlHandlerA, kRequired)   \
    X(M, RegisterServiceCtrlHandlerW, kRequired)   \
    X(M, RegisterServiceCtrlHandlerExA, kOptional) \
    X(M, RegisterServiceCtrlHandlerExW, kOptional) \
    X(M, SetServiceStatus, kRequired)              \
    X(M, QueryServiceStatus, kRequired)            \
    X(M, QueryServiceStatusEx, kOptional)          \
    X(M, OpenSCManagerA, kRequired)                \
    X(M, OpenSCManagerW, kRequired)                \
    X(M, OpenServiceA, kRequired)                  \
    X(M, OpenServiceW, kRequired)                  \
    X(M, QueryServiceConfigA, kRequired)           \
    X(M, QueryServiceConfigW, kRequired)           \
    X(M, CloseServiceHandle, kRequired)            \
    X(M, LookupAccountSidA, kRequired)             \
    X(M, LookupAccountSidW, kRequired)

// Resolved from advapi32 and, when advapi32 lacks StartTraceW, again from sechost.
#define SG_TRACE_SYMBOLS(X, M)     \
    X(M, StartTraceW, kRequired)   \
    X(M, StartTraceA, kRequired)   \
    X(M, ControlTraceW, kRequired) \
    X(M, ControlTraceA, kRequired) \
    X(M, OpenTraceW, kRequired)    \
    X(M, OpenTraceA, kRequired)    \
    X(M, EnableTraceEx, kRequired) \
    X(M, ProcessTrace, kRequired)  \
    X(M, CloseTrace, kRequired)

#define SG_BCRYPT_SYMBOLS(X, M)                         \
    X(M, BCryptOpenAlgorithmProvider, kRequired)        \
    X(M, BCryptEnumAlgorithms, kRequired)               \
    X(M, BCryptEnumProviders, kRequired)                \
    X(M, BCryptGetProperty, kRequired)                  \
    X(M, BCryptSetProperty, kRequired)                  \
    X(M, BCryptCloseAlgorithmProvider, kRequired)       \
    X(M, BCryptFreeBuffer, kRequired)                   \
    X(M, BCryptGenerateSymmetricKey, kRequired)         \
    X(M, BCryptGenerateKeyPair, kRequired)              \
    X(M, BCryptEncrypt, kRequired)                      \
    X(M, BCryptDecrypt, kRequired)                      \
    X(M, BCryptExportKey, kRequired)                    \
    X(M, BCryptImportKey, kRequired)                    \
    X(M, BCryptImportKeyPair, kRequired)                \
    X(M, BCryptDuplicateKey, kRequired)                 \
    X(M, BCryptFinalizeKeyPair, kRequired)              \
    X(M, BCryptDestroyKey, kRequired)                   \
    X(M, BCryptDestroySecret, kRequired)                \
    X(M, BCryptSignHash, kRequired)                     \
    X(M, BCryptVerifySignature, kRequired)              \
    X(M, BCryptSecretAgreement, kRequired)              \
    X(M, BCryptDeriveKey, kRequired)                    \
    X(M, BCryptCreateHash, kRequired)                   \
    X(M, BCryptHashData, kRequired)                     \
    X(M, BCryptFinishHash, kRequired)                   \
    X(M, BCryptDuplicateHash, kRequired)                \
    X(M, BCryptDestroyHash, kRequired)                  \
    X(M, BCryptGenRandom, kRequired)                    \
    X(M, BCryptDeriveKeyCapi, kRequired)                \
    X(M, BCryptDeriveKeyPBKDF2, kRequired)              \
    X(M, BCryptRegisterConfigChangeNotify, kRequired)   \
    X(M, BCryptUnregisterConfigChangeNotify, kRequired) \
    X(M, BCryptResolveProviders, kRequired)             \
    X(M, BCryptGetFipsAlgorithmMode, kRequired)

// ---- the slots --------------------------------------------------------------------------

#define SG_DEFINE_SLOT(module, function, required) PFN_##function Sg##function = nullptr;

SG_NTDLL_SYMBOLS(SG_DEFINE_SLOT, kNtdll)
SG_KERNEL32_SYMBOLS(SG_DEFINE_SLOT, kKernel32)
SG_SERVICE_SYMBOLS(SG_DEFINE_SLOT, kAdvapi32)
SG_TRACE_SYMBOLS(SG_DEFINE_SLOT, kAdvapi32)
SG_BCRYPT_SYMBOLS(SG_DEFINE_SLOT, kBcrypt)

#undef SG_DEFINE_SLOT

// ---- the resolution table ---------------------------------------------------------------

namespace {

struct SymbolRow {
    OsModule module;
    bool required;
    const char* name;
    void (*store)(FARPROC address);
    uintptr_t (*read)();
};

#define SG_SYMBOL_ROW(module, function, required) \
    {module, required, #function, &StoreSlot<&Sg##function>, &ReadSlot<&Sg##function>},

constexpr SymbolRow kSymbols[] = {
    SG_NTDLL_SYMBOLS(SG_SYMBOL_ROW, kNtdll) SG_KERNEL32_SYMBOLS(SG_SYMBOL_ROW, kKernel32)
        SG_SERVICE_SYMBOLS(SG_SYMBOL_ROW, kAdvapi32) SG_TRACE_SYMBOLS(SG_SYMBOL_ROW, kAdvapi32)
            SG_TRACE_SYMBOLS(SG_SYMBOL_ROW, kSechost) SG_BCRYPT_SYMBOLS(SG_SYMBOL_ROW, kBcrypt)};

#undef SG_SYMBOL_ROW

constexpr uint32_t kSymbolCount = sizeof(kSymbols) / sizeof(kSymbols[0]);

// Rows are resolved module by module in load order; keeping the table grouped the same
// way makes the table read exactly as the lookups happen.
constexpr bool RowsFollowLoadOrder() {
    for (uint32_t i = 1; i < kSymbolCount; ++i) {
        if (kSymbols[i].module < kSymbols[i - 1].module) return false;
    }
    return true;
}
static_assert(RowsFollowLoadOrder(), "kSymbols must be grouped by module in load order");

// Reports only the modules the service cannot run without; the caller releases what was
// obtained so far.
bool ObtainModule(OsModule module) {
    const ModuleInfo& info = kModules[module];
    HMODULE handle = LoaderGetModuleHandleA(info.name);
    uint8_t loadedByUs = 0;
    if (handle == nullptr && info.mayLoad) {
        handle = LoaderLoadLibraryA(info.name);
        loadedByUs = handle != nullptr ? 1 : 0;
    }
    if (handle == nullptr && info.mustExist) {
        const DWORD error = GetLastError();
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Error: Unable to open %s 0x%08X", info.name,
                     static_cast<unsigned>(error));
        return false;
    }
    g_moduleHandles[module] = handle;
    g_moduleLoadedByUs[module] = loadedByUs;
    return true;
}

// Every slot of the module is written: with the export's address, or null when the
// module or the export is absent.
void ResolveModule(OsModule module) {
    const HMODULE handle = g_moduleHandles[module];
    for (const SymbolRow& row : kSymbols) {
        if (row.module != module) continue;
        row.store(handle != nullptr ? LoaderGetProcAddress(handle, row.name) : nullptr);
    }
}

bool EveryRequiredSlotSet() {
    for (const SymbolRow& row : kSymbols) {
        if (row.required && row.read() == 0) return false;
    }
    return true;
}

}  // namespace

bool SgInitOsSymbols() {
    SgDebugPrint(SG_FAC_INIT, SG_LVL_DEBUG, "Initialize OS symbols");

    for (uint8_t module = 0; module < kModuleCount; ++module) {
        if (!ObtainModule(static_cast<OsModule>(module))) {
            SgShutdownOsSymbols();
            return false;
        }
    }

    for (uint8_t module = 0; module < kModuleCount; ++module) {
        // sechost takes over the whole trace group, never single functions, and only for
        // systems whose advapi32 no longer exports it.
        if (module == kSechost && (g_moduleHandles[kSechost] == nullptr || SgStartTraceW != nullptr)) {
            continue;
        }
        ResolveModule(static_cast<OsModule>(module));
    }

    // A missing export is not named: the service cannot run either way, and the exit
    // code tells the start-up sequence what failed.
    if (!EveryRequiredSlotSet()) {
        SgShutdownOsSymbols();
        return false;
    }
    return true;
}

bool SgShutdownOsSymbols() {
    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_DEBUG, "Shutdown OS symbols");

    // In load order. ntdll and kernel32 are never loaded by us (mayLoad is false), so
    // their slots stay callable after this.
    for (uint8_t module = 0; module < kModuleCount; ++module) {
        if (kModules[module].mayLoad && g_moduleLoadedByUs[module] != 0 && g_moduleHandles[module] != nullptr) {
            LoaderFreeLibrary(g_moduleHandles[module]);
            g_moduleHandles[module] = nullptr;
            g_moduleLoadedByUs[module] = 0;
        }
    }
    return true;
}

// ---- test access --------------------------------------------------------------------------

void SgSetOsLoaderForTesting(const SgOsLoaderHooks* hooks) {
    if (hooks != nullptr) {
        g_testLoader = *hooks;
        g_testLoaderActive = true;
    } else {
        g_testLoaderActive = false;
    }
}

uint32_t SgOsSymbolCountForTesting() { return kSymbolCount; }

bool SgGetOsSymbolForTesting(uint32_t index, SgOsSymbolInfo* info) {
    if (index >= kSymbolCount || info == nullptr) return false;
    const SymbolRow& row = kSymbols[index];
    info->moduleName = kModules[row.module].name;
    info->functionName = row.name;
    info->required = row.required;
    info->slotValue = row.read();
    return true;
}
