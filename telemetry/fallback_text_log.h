// The fallback text log: a small UTF-16LE log file in the user's temporary directory, for the
// few failures that happen before the product's data directory is known. Its name is
// "Kestro Vantor <local date and time>.log", fixed when the process first uses it, with every
// "/" of the date text replaced by "-" and every ":" by "_". A new file starts with the
// UTF-16LE byte-order mark and a "Started <executable path>" line; lines end in CR LF, and
// each is written by its own open, append and close. Nothing here reports a failure: a line
// that cannot be written is lost and the caller goes on.
#pragma once

#include <cstdint>
#include <string>

namespace Kestro::Telemetry {

enum class TextLogLevel : uint32_t {
    Info = 0,          // "INFO"
    InfoExternal = 1,  // "INFO_EXTERNAL"
    Error = 2,         // "ERROR"
    Warning = 3,       // "WARNING"
};

class FallbackTextLog {
public:
    // Logs to the given file; an empty path turns logging off. A file that is new (below 3
    // bytes, so at most a byte-order mark) gets the "Started " line at once.
    explicit FallbackTextLog(std::wstring path);
    FallbackTextLog(const FallbackTextLog&) = delete;
    FallbackTextLog& operator=(const FallbackTextLog&) = delete;

    // Appends "<local date and time>, <level name> : <message>" with the message formatted from
    // a wide printf-style format (%s takes a wide string, as in the Windows C runtime).
    void LogLine(TextLogLevel level, const wchar_t* format, ...) noexcept;

    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

// The process-wide log in the temporary directory, created on the first call (safe from any
// thread) and never destroyed.
FallbackTextLog& GetFallbackTextLog();

// The current local date and time in the user-default locale's standard rendering (short date,
// a blank, time), or "Invalid DateTime" when it cannot be rendered.
std::wstring LocalDateTimeText();

// "Kestro Vantor <dateTime>.log" with "/" and ":" of the date text made safe for a file name.
std::wstring FallbackTextLogFileName(const std::wstring& dateTime);

}  // namespace Kestro::Telemetry
