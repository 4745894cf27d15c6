// Test-only access to the OS symbol table. Never included by product code.
//
// A test replaces the four loader calls the table uses, so resolution can be made to see
// a missing module or a missing export, and module release can be counted, without
// touching the real process.
#pragma once

#include <windows.h>

#include <cstdint>

#include "runtime/os_symbols.h"

struct SgOsLoaderHooks {
    HMODULE(WINAPI* getModuleHandleA)(LPCSTR moduleName);
    HMODULE(WINAPI* loadLibraryA)(LPCSTR fileName);
    FARPROC(WINAPI* getProcAddress)(HMODULE module, LPCSTR procName);
    BOOL(WINAPI* freeLibrary)(HMODULE module);
};

// Copies the hooks (every member must be set); null restores the OS's own calls.
void SgSetOsLoaderForTesting(const SgOsLoaderHooks* hooks);

// One row of the resolution table, in resolution order. A function resolved from both
// advapi32 and sechost has one row per module; both rows show the same slot.
struct SgOsSymbolInfo {
    const char* moduleName;    // e.g. "ntdll.dll"
    const char* functionName;  // the export name, e.g. "NtCreateFile"
    bool required;
    uintptr_t slotValue;  // current content of the slot, 0 when null
};

uint32_t SgOsSymbolCountForTesting();
// False when index is out of range.
bool SgGetOsSymbolForTesting(uint32_t index, SgOsSymbolInfo* info);
