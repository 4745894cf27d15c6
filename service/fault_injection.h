// Faults a test build of the service can be told to meet, so that the failure paths of a
// real run under the Service Control Manager can be exercised. Only the test build
// (compiled with NVX_FAULT_INJECTION and linked with the fault seam of
// runtime/fault_seam_testing.h) reads them; the shipped service ignores them.
#pragma once

// Reads the fault settings from the service's Parameters key, when built for it:
//   TestFaultOperation (REG_SZ)   the operation, by its seam name, e.g. "RegOpenKey", "ThreadCreate",
//                                 "FilterConnect" (runtime/fault_seam_testing.h lists them)
//   TestFaultCall (DWORD N)       its Nth call of the process fails (default 1)
//   TestFaultCount (DWORD)        so many calls from the Nth on fail (default 1)
//   TestFaultError (DWORD)        with this error: Win32 error, NTSTATUS or HRESULT as the
//                                 operation reports failures (default: the seam's for the operation)
//   TestFaultCountsFile (REG_SZ)  at the process's end, "<operation> <calls> <failures>" lines go here
// and two shorthands that use the same seam:
//   TestFailThreadStart (DWORD N)        ThreadCreate, call N
//   TestFailProgramDataLookup (DWORD 1)  KnownFolder, every call: the telemetry's ProgramData lookup
//                                        fails, so each snapshot writes its failure to the fallback log
// Calls made before this runs (the debug settings' registry reads, the read of these values) are
// counted but cannot be made to fail.
void ApplyFaultInjection();
