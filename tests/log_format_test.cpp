// Line formatting of the debug log: names, prefix layout, message cut and the
// counted-string conversions other modules rely on.
#include "runtime/log_format.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

SgTimeFields Time(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s, uint16_t ms) {
    SgTimeFields t{};
    t.year = y;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    t.milliseconds = ms;
    return t;
}

struct CountedWide {
    uint16_t length, maximumLength;
    const uint16_t* buffer;
};
struct CountedNarrow {
    uint16_t length, maximumLength;
    const char* buffer;
};

std::string Format(const char* format, ...) {
    char out[2048];
    va_list ap;
    va_start(ap, format);
    int n = SgFormatMessageV(out, sizeof(out), format, ap);
    va_end(ap);
    EXPECT_GE(n, 0);
    return std::string(out);
}

TEST(LogNames, OnlyExactSingleBitsAndKnownLevelsHaveNames) {
    EXPECT_STREQ(SgFacilityName(0x00000001), "Init");
    EXPECT_STREQ(SgFacilityName(0x00000400), "Path");
    EXPECT_STREQ(SgFacilityName(0x00200000), "EvtJrn");
    EXPECT_STREQ(SgFacilityName(0x00400000), "Telemetry");
    EXPECT_STREQ(SgFacilityName(0x80000000), "Assert");
    EXPECT_STREQ(SgFacilityName(0x00010000 | 0x00020000), "Unknown");  // Comms plus Notify
    EXPECT_STREQ(SgFacilityName(0x00800000), "Unknown");               // unnamed bit
    EXPECT_STREQ(SgFacilityName(0x40000000), "Unknown");
    EXPECT_STREQ(SgFacilityName(0), "Unknown");
    EXPECT_STREQ(SgLevelName(1), "Debug");
    EXPECT_STREQ(SgLevelName(8), "Emerg");
    EXPECT_STREQ(SgLevelName(0), "Unknown");
    EXPECT_STREQ(SgLevelName(9), "Unknown");
}

TEST(LogPrefix, LayoutIsTimeTagFacilityLevelEachFollowedByOneBlank) {
    char out[kLogPrefixCapacity];
    SgTimeFields t = Time(2026, 3, 1, 8, 15, 2, 45);
    int n = SgFormatLogPrefix(0x1, 2, &t, out);
    EXPECT_STREQ(out, "2026-03-01T08:15:02.045Z NVXS Init Info ");
    EXPECT_EQ(n, 32 + 4 + 4);
    EXPECT_EQ(n, static_cast<int>(strlen(out)));

    t = Time(1601, 1, 1, 0, 0, 0, 0);
    n = SgFormatLogPrefix(0x00400000, 0, &t, out);
    EXPECT_STREQ(out, "1601-01-01T00:00:00.000Z NVXS Telemetry Unknown ");
    EXPECT_EQ(n, 32 + 9 + 7);
    EXPECT_LT(static_cast<size_t>(n), kLogPrefixCapacity);
}

TEST(LogPrefix, OutOfRangeTimeFailsThePrefix) {
    char out[kLogPrefixCapacity];
    const SgTimeFields bad[] = {Time(1600, 12, 31, 23, 59, 59, 999), Time(30828, 1, 1, 0, 0, 0, 0),
                                Time(2026, 0, 1, 0, 0, 0, 0),        Time(2026, 13, 1, 0, 0, 0, 0),
                                Time(2026, 1, 0, 0, 0, 0, 0),        Time(2026, 1, 32, 0, 0, 0, 0),
                                Time(2026, 1, 1, 24, 0, 0, 0),       Time(2026, 1, 1, 0, 60, 0, 0),
                                Time(2026, 1, 1, 0, 0, 60, 0),       Time(2026, 1, 1, 0, 0, 0, 1000)};
    for (const auto& t : bad) {
        EXPECT_EQ(SgFormatLogPrefix(1, 2, &t, out), -1) << t.year << "-" << t.month << "-" << t.day;
        EXPECT_STREQ(out, "");
    }
    SgTimeFields edge = Time(30827, 12, 31, 23, 59, 59, 999);
    EXPECT_GT(SgFormatLogPrefix(1, 2, &edge, out), 0);
}

TEST(LogMessage, LongTextIsCutTo1021CharactersAndReportedAsCut) {
    std::string longText(5000, 'a');
    char out[kLogMessageCapacity];
    int n = SgFormatMessage(out, sizeof(out), "%s", longText.c_str());
    EXPECT_EQ(n, -1);
    EXPECT_EQ(strlen(out), 1021u);
    // Exactly 1,021 characters fit without a cut.
    n = SgFormatMessage(out, sizeof(out), "%s", longText.substr(0, 1021).c_str());
    EXPECT_EQ(n, 1021);
    n = SgFormatMessage(out, sizeof(out), "%s", "");
    EXPECT_EQ(n, 0);
    EXPECT_STREQ(out, "");
}

TEST(LogMessage, StandardConversionsMatchTheCRuntime) {
    EXPECT_EQ(Format("Mainloop housekeeping %llu", 18446744073709551615ull),
              "Mainloop housekeeping 18446744073709551615");
    EXPECT_EQ(Format("0x%08X %u %d %x", 0xC0000034u, 4000000000u, -5, 255u), "0xC0000034 4000000000 -5 ff");
    EXPECT_EQ(Format("[%5d|%-5d|%05d|%+d]", 42, 42, 42, 42), "[   42|42   |00042|+42]");
    EXPECT_EQ(Format("[%*d|%.*s]", 4, 7, 3, "abcdef"), "[   7|abc]");
    EXPECT_EQ(Format("%lu %ld %zu %I64u", 7ul, -7l, static_cast<size_t>(9), 10ull), "7 -7 9 10");
    EXPECT_EQ(Format("%.2f %c %s %%", 1.5, 'x', static_cast<const char*>(nullptr)), "1.50 x (null) %");
    EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0x1234)), std::string(sizeof(void*) * 2 - 4, '0') + "1234");
}

TEST(LogMessage, CountedAndWideStringsAreWrittenAsUtf8) {
    const uint16_t path[] = {'\\', 'D', 'e', 'v', 'i', 'c', 'e', '\\', 'V', 0x00E9, 'X', 'Y'};
    // Length excludes the last two units: a counted string need not be terminated.
    CountedWide wide{20, 24, path};
    EXPECT_EQ(Format("SystemRoot: %wZ!", &wide), "SystemRoot: \\Device\\V\xC3\xA9!");
    CountedNarrow narrow{3, 8, "abcdef"};
    EXPECT_EQ(Format("<%hZ><%Z>", &narrow, &narrow), "<abc><abc>");
    EXPECT_EQ(Format("%wZ %hZ", static_cast<CountedWide*>(nullptr), static_cast<CountedNarrow*>(nullptr)),
              "(null) (null)");
    CountedWide noBuffer{4, 4, nullptr};
    EXPECT_EQ(Format("%wZ", &noBuffer), "(null)");

    const uint16_t emoji[] = {0xD83D, 0xDE00, 0};
    const uint16_t broken[] = {'a', 0xD800, 'b', 0};
    EXPECT_EQ(Format("%S|%ls|%ws", emoji, emoji, broken),
              "\xF0\x9F\x98\x80|\xF0\x9F\x98\x80|a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(Format("%C", 0x20AC), "\xE2\x82\xAC");
}

TEST(LogMessage, WriteConversionIsNeverHonoured) {
    int target = 12345;
    char out[64];
    int n = SgFormatMessage(out, sizeof(out), "ab%ncd", &target);
    EXPECT_EQ(n, 4);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(target, 12345);
}

TEST(LogMessage, CutNeverSplitsAWideCharacterOrOverrunsTheBuffer) {
    const uint16_t text[] = {0x20AC, 0x20AC, 0x20AC, 0};  // three 3-byte characters
    char out[8];
    memset(out, 'Z', sizeof(out));
    int n = SgFormatMessage(out, sizeof(out), "%S", text);
    EXPECT_EQ(n, -1);
    EXPECT_STREQ(out, "\xE2\x82\xAC\xE2\x82\xAC");
    char tiny[1] = {'Z'};
    EXPECT_EQ(SgFormatMessage(tiny, sizeof(tiny), "x"), -1);
    EXPECT_EQ(tiny[0], '\0');
}

// Wide text bounded by a precision need not be NUL-terminated: it is read no further. The
// text ends at a page the process may not read, so a read past it faults.
TEST(LogMessage, PrecisionBoundsHowMuchWideTextIsRead) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    auto* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(base + page, page, PAGE_NOACCESS, &old));
    auto* text = reinterpret_cast<uint16_t*>(base + page) - 3;
    text[0] = 'a';
    text[1] = 'b';
    text[2] = 'c';
    EXPECT_EQ(Format("<%.3S|%.*ls>", text, 2, text), "<abc|ab>");
    VirtualFree(base, 0, MEM_RELEASE);
}

// A width given as an argument is read as printf reads it: negative left-justifies with its
// magnitude, INT_MIN included, and a width beyond the output fills the output and no more.
TEST(LogMessage, ArgumentWidthIsSignedAndBoundedByTheOutput) {
    const uint16_t wide[] = {'w', 0};
    EXPECT_EQ(Format("[%*s|%*d|%*S|%-*s]", -4, "ab", -3, 7, -2, wide, -3, "x"), "[ab  |7  |w |x  ]");
    for (const int width : {INT_MIN, INT_MIN + 1, -100000}) {
        char out[16];
        memset(out, 'Z', sizeof(out));
        EXPECT_EQ(SgFormatMessage(out, sizeof(out), "[%*s]", width, "ab"), -1);
        EXPECT_EQ(std::string(out), "[ab" + std::string(12, ' '));
        EXPECT_EQ(SgFormatMessage(out, sizeof(out), "%*d|", width, 5), -1);
        EXPECT_EQ(std::string(out), "5" + std::string(14, ' '));
    }
    // What is written is printf's text cut at the output: a field wider than the output is
    // all padding there.
    char small[12];
    EXPECT_EQ(SgFormatMessage(small, sizeof(small), "%*d|%*s", 14, -7, 14, "ab"), -1);
    EXPECT_EQ(std::string(small), std::string(11, ' '));
    char out[kLogMessageCapacity];
    EXPECT_EQ(SgFormatMessage(out, sizeof(out), "[%*s]", INT_MAX, "ab"), -1);
    EXPECT_EQ(std::string(out), "[" + std::string(kLogMessageCapacity - 2, ' '));
    // A number keeps its value however wide its field.
    const int n = SgFormatMessage(out, sizeof(out), "%*u", INT_MAX, 9u);
    ASSERT_GT(n, 1);
    EXPECT_EQ(static_cast<size_t>(n), strlen(out));
    EXPECT_EQ(strspn(out, " "), strlen(out) - 1);
    EXPECT_EQ(out[n - 1], '9');
}

// A precision counts bytes of the UTF-8 text and never ends inside a character.
TEST(LogMessage, PrecisionNeverSplitsAWideCharacter) {
    const uint16_t euros[] = {0x20AC, 0x20AC, 0};
    CountedWide counted{4, 4, euros};
    EXPECT_EQ(Format("<%.4S|%.2wZ|%.6S>", euros, &counted, euros), "<\xE2\x82\xAC||\xE2\x82\xAC\xE2\x82\xAC>");
    EXPECT_EQ(Format("<%-5.4S>", euros), "<\xE2\x82\xAC  >");
}

}  // namespace
