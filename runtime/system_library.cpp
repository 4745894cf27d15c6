#include "runtime/system_library.h"

#include "runtime/debug_log.h"

namespace {

using PFN_SetDefaultDllDirectories = BOOL(WINAPI*)(DWORD directoryFlags);

BOOL CALLBACK LoadOnce(PINIT_ONCE, PVOID parameter, PVOID*) {
    auto* library = static_cast<SgSystemLibrary*>(parameter);
    HMODULE module = SgLoadSystem32Library(library->name);
    if (module == nullptr) {
        library->error = GetLastError();
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Unable to load %s from System32: %u", library->name,
                     static_cast<unsigned>(library->error));
        return TRUE;
    }
    for (size_t i = 0; i < library->procCount; ++i) {
        library->procs[i] = GetProcAddress(module, library->procNames[i]);
        if (library->procs[i] == nullptr) {
            library->error = ERROR_PROC_NOT_FOUND;
            SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "%s has no export %s", library->name, library->procNames[i]);
            for (size_t j = 0; j < library->procCount; ++j) library->procs[j] = nullptr;
            FreeLibrary(module);
            return TRUE;
        }
    }
    return TRUE;
}

}  // namespace

DWORD SgRestrictDllSearchToSystem32() {
    // Looked up rather than imported: an executable importing it would not start at all where
    // the loader lacks it, and the process is to go on (logged) there.
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    auto restrict = kernel32 == nullptr ? nullptr
                                        : reinterpret_cast<PFN_SetDefaultDllDirectories>(reinterpret_cast<void*>(
                                              GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    DWORD error = ERROR_SUCCESS;
    if (restrict == nullptr) {
        error = ERROR_PROC_NOT_FOUND;
    } else if (!restrict(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Unable to restrict the DLL search to System32: %u",
                     static_cast<unsigned>(error));
    }
    return error;
}

HMODULE SgLoadSystem32Library(const char* name) {
    HMODULE module = nullptr;
    if (GetModuleHandleExA(0, name, &module)) return module;
    return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool SgLoadSystemLibrary(SgSystemLibrary* library, DWORD* error) {
    InitOnceExecuteOnce(&library->once, LoadOnce, library, nullptr);
    *error = library->error;
    return library->error == ERROR_SUCCESS;
}
