// Pure formatting of debug-log lines: facility and level names, the time-stamped
// prefix, and the printf-family message formatter with the counted-string
// conversions. No OS calls, so it builds natively for fuzzing and benchmarks.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// UTC time broken into fields (the layout of the OS's system time record).
struct SgTimeFields {
    uint16_t year;
    uint16_t month;
    uint16_t dayOfWeek;
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

constexpr size_t kIsoTimeLength = 24;         // YYYY-MM-DDTHH:MM:SS.mmmZ
constexpr size_t kLogPrefixCapacity = 64;     // longest prefix is 32 + 9 + 7 bytes
constexpr size_t kLogMessageCapacity = 1022;  // message text is at most 1,021 characters

const char* SgFacilityName(uint32_t facility);
const char* SgLevelName(uint32_t level);

// Writes the 24-character time and a NUL into out (at least 25 bytes). False when a
// field is out of range; out is then left empty.
bool SgFormatIsoTime(const SgTimeFields* time, char* out);

// Writes the line prefix ("<time> NVXS <facility> <level> ") and a NUL into out (at
// least kLogPrefixCapacity bytes). Returns its length, or -1 when the time is invalid.
int SgFormatLogPrefix(uint32_t facility, uint32_t level, const SgTimeFields* time, char* out);

// printf-family formatting into out[capacity] that also understands the counted-string
// conversions %wZ (wide) and %hZ / %Z (narrow), and wide text through %S, %ls, %ws,
// %C, %lc and %wc (written as UTF-8). %n is never honoured. Always NUL-terminates when
// capacity > 0. Returns the number of characters written, or -1 when the text was cut
// to capacity - 1 characters.
int SgFormatMessageV(char* out, size_t capacity, const char* format, va_list args);
int SgFormatMessage(char* out, size_t capacity, const char* format, ...);

// UTF-16 to UTF-8 for log text: unpaired surrogates become U+FFFD. Writes at most
// capacity - 1 bytes and a NUL; returns the bytes written (never cuts a character).
size_t SgUtf16ToUtf8(const uint16_t* text, size_t units, char* out, size_t capacity);
