// The commands a running driver simulator takes on its control channel (`nvxdriver ctl ...`):
// status, open-ports, send, event, reg, raw, answer, queue-full, counters, filters, disconnect,
// wait-connect, flood, clear, unload (their arguments are listed at the head of nvxdriver.cpp).
//
// Guarantees: a command answers with one JSON object a line and an exit code: 0 done, 1 the
// driver could not do it (or no final reply came), 2 usage (nothing was done or sent). A message
// to the service is built and checked whole before any byte of it is written.
#pragma once

#include <string>
#include <vector>

#include "sim/driver_recorder.h"
#include "sim/simsupport.h"

namespace nvxdriver {

// A command's answer: exit code and lines.
struct Reply {
    int code = 0;
    std::string text;
    bool unload = false;  // the driver is to end once the answer is out

    void Line(const nvxsim::Json& j) { text += j.Text() + "\n"; }
    // An {"event":"error"} line; the exit code, which is also returned.
    int Fail(int exitCode, const std::string& why);
};

// Once, before the first command: the driver's instance and journal.
void InitCommands(const std::wstring& instance, Recorder* journal);

// A request ID of the driver's own, never handed out before in this run.
uint32_t NextRequestId();

// Runs one command (args[0] is its name); the exit code, also in r->code.
int RunCommand(const std::vector<std::string>& args, Reply* r);

}  // namespace nvxdriver
