// Test-only fault seam. Never included by product code.
//
// The test build of the service (NVXServiceFaults) and the unit tests that link the seam
// (nvx_link_fault_seam in runtime/CMakeLists.txt) reach the platform through counting
// wrappers: the link redirects each imported call's import pointer (ld --wrap=__imp_F) to a
// wrapper, or the import library's thunk F itself (ld --wrap=F) for the functions the SDK
// headers declare without dllimport (the shell's and the filter walk's), the pool's one
// allocation function likewise (ld --wrap=SgPoolOsAlloc), and the wrapped GetProcAddress hands out wrappers for the
// functions resolved at run time (the OS symbol slots, the Filter Manager port calls). A wrapper counts the call and
// either calls the real function or, when this call is one a test chose, fails as the function
// reports failures, with the chosen error. The shipped service is linked without any of it.
//
// Counting starts at process start; each operation keeps its own count across all threads.
#pragma once

#include <windows.h>

#include <cstdint>

enum SgFaultOp : uint32_t {
    SG_FAULT_THREAD_CREATE,   // CreateThread: null, last error
    SG_FAULT_EVENT_CREATE,    // CreateEventW: null, last error
    SG_FAULT_WAIT,            // WaitForSingleObject(Ex), WaitForMultipleObjects: WAIT_FAILED, last error;
                              // GetQueuedCompletionStatus: FALSE, no packet, last error
    SG_FAULT_MEMORY,          // the memory pool's chunk and big-block allocations: null
    SG_FAULT_REG_OPEN,        // RegOpenKeyExW: the error returned
    SG_FAULT_REG_QUERY,       // RegQueryValueExW: the error returned
    SG_FAULT_REG_SET,         // RegSetValueExW: the error returned
    SG_FAULT_REG_NOTIFY,      // RegNotifyChangeKeyValue: the error returned
    SG_FAULT_NT_FILE,         // NtCreateFile, NtOpenFile, NtReadFile, NtWriteFile, NtQueryInformationFile,
                              // NtSetInformationFile, NtFlushBuffersFile: the NTSTATUS returned
    SG_FAULT_DIRECTORY,       // NtQueryDirectoryFile: the NTSTATUS returned
    SG_FAULT_FLT_CONNECT,     // FilterConnectCommunicationPort: the HRESULT returned
    SG_FAULT_FLT_SEND,        // FilterSendMessage: the HRESULT returned
    SG_FAULT_FLT_GET,         // FilterGetMessage: the HRESULT returned
    SG_FAULT_FLT_REPLY,       // FilterReplyMessage: the HRESULT returned
    SG_FAULT_FLT_WALK,        // FilterFindFirst/Next, FilterInstanceFindFirst/Next: the HRESULT returned
    SG_FAULT_PROCESS_CREATE,  // CreateProcessW: FALSE, last error
    SG_FAULT_SCM,             // StartServiceCtrlDispatcherA, RegisterServiceCtrlHandler(Ex)A, SetServiceStatus,
                              // OpenSCManagerA, OpenServiceA, QueryServiceStatus(Ex), QueryServiceConfigA:
                              // FALSE or null, last error
    SG_FAULT_KNOWN_FOLDER,    // SHGetKnownFolderPath: the HRESULT returned, no path
    // Parts of Wait, each with a count of its own so that a test can reach one thread's wait
    // whatever the other threads wait for: a call counts under Wait, and under its part when a
    // thread the program started with CreateThread makes it (not the C++ runtime's threads,
    // whose condition waits use the same functions); it fails when either range holds it.
    SG_FAULT_WAIT_MULTIPLE,    // WaitForMultipleObjects
    SG_FAULT_COMPLETION_WAIT,  // GetQueuedCompletionStatus
    SG_FAULT_OP_COUNT
};

// The operation's name as the Parameters key's TestFaultOperation spells it, e.g. "RegOpenKey".
const char* SgFaultOpName(SgFaultOp op);
// False when no operation has that name (compared without regard to case).
bool SgFaultOpFromName(const wchar_t* name, SgFaultOp* op);
// The error a failing call of op reports when the test chose none (0).
uint32_t SgFaultDefaultError(SgFaultOp op);

// Calls call .. call+count-1 of op (1 = the first call of the process) fail with error (a Win32
// error, an NTSTATUS or an HRESULT, as the operation reports failures; 0 = the default). count 0
// disarms op. Each operation has one armed range; arming replaces it.
void SgFaultArm(SgFaultOp op, uint64_t call, uint32_t count, uint32_t error);
// The next `count` calls of op fail.
void SgFaultArmNext(SgFaultOp op, uint32_t count, uint32_t error);
void SgFaultDisarmAll();

// Calls of op made so far, failed ones included.
uint64_t SgFaultCalls(SgFaultOp op);
// Calls of op that the seam made fail.
uint64_t SgFaultFailures(SgFaultOp op);

// From now on the process's end (ExitProcess) writes one line per operation, "<name> <calls>
// <failures>", then "ExitProcess 0x<exit code>", to this file (replacing it). Null: no file.
void SgFaultSetCountsFile(const wchar_t* path);
// Writes that file now; false when no file is set or it could not be written.
bool SgFaultWriteCounts();
