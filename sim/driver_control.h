// The driver simulator's control channel: the pipe \\.\pipe\nvxsim.<instance>.driver-control,
// on which `nvxdriver ctl` hands one command to the running driver and gets its answer.
//
//   request  -> each argument as UTF-8, ended by a NUL (one pipe message)
//   answer   <- u32 exit code (little-endian), then the answer's lines (one pipe message)
//
// Guarantees: only one driver serves an instance (the first pipe instance is exclusive); each
// client is answered on a thread of its own, so a command that waits (send --wait-reply,
// wait-connect) never holds up another; the answer to `unload` is out before the driver ends.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace nvxdriver {

// The first instance of the instance's control pipe; INVALID_HANDLE_VALUE when a driver of that
// instance already runs (or the pipe cannot be made), with the error in GetLastError().
HANDLE CreateControlPipe(const std::wstring& instance);

// Serves the control pipe from `first` on, on a thread of its own; sets unloadEvent once an
// `unload` is answered. False when the thread could not start.
bool StartControl(HANDLE first, HANDLE unloadEvent);

// Sends args to the instance's driver and returns its exit code with its answer's lines in
// *answer; 3 when no driver of the instance runs and 1 when it cannot be reached, each with
// *failure saying so (empty when the driver answered).
int CallControl(const std::wstring& instance, const std::vector<std::string>& args, std::string* answer,
                std::string* failure);

// `nvxdriver ctl`: sends args to the instance's driver, prints its answer on standard output
// and returns its exit code; 3 when no driver of the instance runs, 1 when it cannot be reached.
int RunControlClient(const std::wstring& instance, const std::vector<std::string>& args);

}  // namespace nvxdriver
