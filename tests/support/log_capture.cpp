// Captured debug log for test programs (see log_capture.h).
#include "tests/support/log_capture.h"

#include <cstdarg>
#include <mutex>

#include "runtime/debug_log.h"
#include "runtime/log_format.h"
#include "runtime/memory.h"

namespace {

struct Capture {
    std::mutex lock;
    std::vector<nvx_test::LogLine> lines;
};

// Never destroyed, so a line logged while the program exits still has somewhere to go.
Capture& TheCapture() {
    static Capture* const capture = new Capture;
    return *capture;
}

}  // namespace

// Cut where the debug log cuts a message.
void SgDebugPrint(uint32_t facility, uint32_t level, const char* format, ...) {
    char text[kLogMessageCapacity];
    va_list args;
    va_start(args, format);
    SgFormatMessageV(text, sizeof(text), format, args);
    va_end(args);
    Capture& capture = TheCapture();
    std::lock_guard<std::mutex> guard(capture.lock);
    capture.lines.push_back({facility, level, text});
}

namespace nvx_test {

std::vector<LogLine> TakeLog() {
    Capture& capture = TheCapture();
    std::lock_guard<std::mutex> guard(capture.lock);
    std::vector<LogLine> lines;
    lines.swap(capture.lines);
    return lines;
}

void ClearLog() {
    Capture& capture = TheCapture();
    std::lock_guard<std::mutex> guard(capture.lock);
    capture.lines.clear();
}

int CountLines(const std::vector<LogLine>& log, uint32_t facility, uint32_t level, const std::string& text) {
    int n = 0;
    for (const LogLine& line : log) n += line.facility == facility && line.level == level && line.text == text;
    return n;
}

std::vector<LogLine> TakeLogWithoutPoolDebug() {
    std::vector<LogLine> lines;
    for (auto& line : TakeLog()) {
        if (line.facility != SG_FAC_MEM || line.level != SG_LVL_DEBUG) lines.push_back(std::move(line));
    }
    return lines;
}

uint64_t BlocksInUse() { return SgGetPoolStats().blocksInUse + SgGetPoolStats().bigChunksInUse; }

}  // namespace nvx_test
