// Faults a test build of the service can be told to meet, so that the failure paths of a
// real start under the Service Control Manager can be exercised. Only the test build
// (compiled with NVX_FAULT_INJECTION) reads them; the shipped service ignores them.
#pragma once

// Reads the fault settings from the service's Parameters key, when built for it:
//   TestFailThreadStart (DWORD N)        the Nth worker-thread start of the process fails
//   TestFailProgramDataLookup (DWORD 1)  the telemetry's ProgramData lookup fails, so each snapshot
//                                        writes its failure to the fallback text log instead
void ApplyFaultInjection();
