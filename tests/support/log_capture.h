// Captured debug log for test programs: this module's SgDebugPrint takes the place of the
// runtime's, so a test can assert on the exact lines a component logs. Every line is formatted
// with the debug log's own formatter (SgFormatMessageV), so %wZ, %hZ, %p and wide text read as
// they would in nvxs.log, and is kept in memory until a test takes it.
//
// Link nvx_log_capture before nvx_runtime: the linker then resolves SgDebugPrint here and never
// pulls in the runtime's debug log. A test that also needs another debug-log function would get
// both definitions of SgDebugPrint and fail to link, which is the intended signal.
//
// Safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nvx_test {

// One captured SgDebugPrint call.
struct LogLine {
    uint32_t facility;
    uint32_t level;
    std::string text;
};

// Every line captured since the last TakeLog or ClearLog, in the order logged; the capture is
// left empty.
std::vector<LogLine> TakeLog();

// Drops every captured line.
void ClearLog();

// How many lines of `log` have exactly this facility, level and text.
int CountLines(const std::vector<LogLine>& log, uint32_t facility, uint32_t level, const std::string& text);

// TakeLog without the pool's Debug lines about its chunks (they depend on what earlier tests left in
// the pool). The pool's faults stay in.
std::vector<LogLine> TakeLogWithoutPoolDebug();

// Pool blocks and big chunks in use: compared around a call, it shows that the call returned what
// it took.
uint64_t BlocksInUse();

}  // namespace nvx_test
