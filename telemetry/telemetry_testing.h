// Test-only access to the telemetry snapshot. Never included by product code.
#pragma once

#include <windows.h>

namespace Kestro::Telemetry {

// How GetCommonDataDirectory finds the ProgramData folder: SHGetKnownFolderPath's contract for
// FOLDERID_ProgramData (on success *folder is freed by the caller with CoTaskMemFree; on failure
// it may be null or such a block). Null restores SHGetKnownFolderPath. Set before the telemetry
// task starts; read on the task's thread.
using ProgramDataLookup = HRESULT (*)(PWSTR* folder);
void SetProgramDataLookupForTesting(ProgramDataLookup lookup);

}  // namespace Kestro::Telemetry
