// Libraries of the OS that the service loads at run time, from System32 only.
//
// The service runs as LocalSystem from its installation directory. A library found by its bare
// name would be taken from the first directory of the search order that holds a file of that
// name, the executable's own directory first: a DLL planted there would run inside the service.
// So the process restricts its search to System32 before anything is loaded on demand, and the
// libraries that are not in every process (fltlib.dll, pdh.dll) are not imported by the
// executable, whose imports the loader resolves before main with the default search order:
// they are loaded here at their first use, with System32 named explicitly as well.
#pragma once

#include <cstddef>
#include <utility>

#include <windows.h>

// Restricts the DLL search of every later load by bare name to System32. Call first in the
// process entry. A failure is logged with its Win32 error (the debug log keeps the line in its
// buffer until its file is known) and the process goes on; returns that error, or ERROR_SUCCESS.
DWORD SgRestrictDllSearchToSystem32();

// Loads a library by its bare name: the module the process already has under that name (taking
// a reference), else the file in System32. Null with the Win32 error in GetLastError on failure.
HMODULE SgLoadSystem32Library(const char* name);

// One library and the exports a module calls, resolved together once, on first use from any
// thread, and kept for the life of the process: either every export is there or none is used.
// Define one per library at namespace scope:
//   const char* const kNames[] = {"F", "G"};
//   FARPROC gProcs[2];
//   SgSystemLibrary gLib = SG_SYSTEM_LIBRARY("lib.dll", kNames, gProcs);
struct SgSystemLibrary {
    const char* name;
    const char* const* procNames;
    FARPROC* procs;
    size_t procCount;
    INIT_ONCE once;
    DWORD error;
};
#define SG_SYSTEM_LIBRARY(fileName, names, procs) \
    { fileName, names, procs, sizeof(procs) / sizeof(procs[0]), INIT_ONCE_STATIC_INIT, ERROR_SUCCESS }

// True when the library is loaded and every export resolved into procs. On false *error is the
// Win32 error (ERROR_PROC_NOT_FOUND for a missing export), logged once at the first attempt;
// later calls fail alike without trying again.
bool SgLoadSystemLibrary(SgSystemLibrary* library, DWORD* error);

// Calls export `index` of the library through its declared type F (decltype(&::Function), which
// references no import), after loading the library if need be; without it, the answer is
// unavailable(error), the call's own failure status for the load's Win32 error.
template <typename F, typename Unavailable, typename... Args>
auto SgCallSystemLibrary(SgSystemLibrary* library, size_t index, Unavailable unavailable, Args... args)
    -> decltype(std::declval<F>()(args...)) {
    DWORD error = ERROR_SUCCESS;
    if (!SgLoadSystemLibrary(library, &error)) return unavailable(error);
    return reinterpret_cast<F>(reinterpret_cast<void*>(library->procs[index]))(args...);
}
