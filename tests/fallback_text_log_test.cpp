// The fallback text log: UTF-16LE content with its byte-order mark, the "Started " line of a new
// file only, the file name made from the date, and silence when the file cannot be written.
#include "telemetry/fallback_text_log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace {

using Kestro::Telemetry::FallbackTextLog;
using Kestro::Telemetry::TextLogLevel;
using nvx_test::ReadFileBytes;

// The UTF-16LE bytes of a text.
std::string Utf16(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

const std::string kMark = "\xFF\xFE";

std::wstring ExecutablePath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

class FallbackTextLogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    nvx_test::TempDirectory temp_{L"nvxfallback-"};
    const std::wstring& dir_ = temp_.path();
};

TEST_F(FallbackTextLogTest, NewFileGetsMarkAndStartedLineOnce) {
    const std::wstring path = dir_ + L"\\fallback.log";
    const std::string started = kMark + Utf16(L"Started " + ExecutablePath() + L"\r\n");
    FallbackTextLog log(path);
    EXPECT_EQ(ReadFileBytes(path), started);

    log.LogLine(TextLogLevel::Error, L"Failed to locate %s, code %d.", L"ProgramData", -5);
    const std::string first = ReadFileBytes(path);
    ASSERT_EQ(first.compare(0, started.size(), started), 0);
    const std::wstring line(reinterpret_cast<const wchar_t*>(first.data() + started.size()),
                            (first.size() - started.size()) / 2);
    const std::wstring tail = L", ERROR : Failed to locate ProgramData, code -5.\r\n";
    ASSERT_GT(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    // The line starts with the local date and time as rendered for the file name, unreplaced.
    EXPECT_NE(line.find_first_of(L"0123456789"), std::wstring::npos);
    EXPECT_EQ(line.find(L'\n'), line.size() - 1);

    // Opening the same, non-empty file again appends without a second mark or "Started " line.
    FallbackTextLog again(path);
    again.LogLine(TextLogLevel::Warning, L"plain");
    again.LogLine(TextLogLevel::InfoExternal, L"%d%%", 100);
    const std::string all = ReadFileBytes(path);
    EXPECT_EQ(all.compare(0, first.size(), first), 0);
    EXPECT_EQ(Count(all, Utf16(L"Started ")), 1u);
    EXPECT_EQ(Count(all, kMark), 1u);
    EXPECT_NE(all.find(Utf16(L", WARNING : plain\r\n")), std::string::npos);
    EXPECT_NE(all.find(Utf16(L", INFO_EXTERNAL : 100%\r\n")), std::string::npos);
}

// A file holding only the byte-order mark is still new.
TEST_F(FallbackTextLogTest, FileWithOnlyTheMarkIsNew) {
    const std::wstring path = dir_ + L"\\marked.log";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, kMark.data(), 2, &n, nullptr));
    CloseHandle(h);
    FallbackTextLog log(path);
    EXPECT_EQ(ReadFileBytes(path), kMark + Utf16(L"Started " + ExecutablePath() + L"\r\n"));
}

TEST_F(FallbackTextLogTest, UnwritableLocationIsSilent) {
    const std::wstring path = dir_ + L"\\missing\\fallback.log";
    FallbackTextLog log(path);
    log.LogLine(TextLogLevel::Error, L"lost %s", L"line");
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((dir_ + L"\\missing").c_str()), INVALID_FILE_ATTRIBUTES);

    FallbackTextLog off(L"");
    off.LogLine(TextLogLevel::Info, L"nowhere");
    EXPECT_EQ(off.Path(), L"");
}

TEST(FallbackTextLogName, DateSeparatorsAreMadeSafeOthersStay) {
    EXPECT_EQ(Kestro::Telemetry::FallbackTextLogFileName(L"12/31/2026 11:59:58 PM"),
              L"Kestro Vantor 12-31-2026 11_59_58 PM.log");
    EXPECT_EQ(Kestro::Telemetry::FallbackTextLogFileName(L"31.12.2026 23:59:58"),
              L"Kestro Vantor 31.12.2026 23_59_58.log");
}

// The process-wide log lives in the temporary directory (TMP here) under the product's name.
TEST_F(FallbackTextLogTest, ProcessLogIsNamedAfterProductAndLocalTime) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", dir_.c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(L"TEMP", dir_.c_str()));
    FallbackTextLog& log = Kestro::Telemetry::GetFallbackTextLog();
    EXPECT_EQ(&log, &Kestro::Telemetry::GetFallbackTextLog());

    const std::wstring prefix = dir_ + L"\\Kestro Vantor ";
    ASSERT_EQ(log.Path().compare(0, prefix.size(), prefix), 0)
        << "path: " << std::string(log.Path().begin(), log.Path().end());
    const std::wstring date = log.Path().substr(prefix.size());
    ASSERT_GT(date.size(), 4u);
    EXPECT_EQ(date.substr(date.size() - 4), L".log");
    EXPECT_EQ(date.find_first_of(L"/:\\"), std::wstring::npos);
    EXPECT_NE(date.find_first_of(L"0123456789"), std::wstring::npos);

    log.LogLine(TextLogLevel::Info, L"hello");
    const std::string content = ReadFileBytes(log.Path());
    EXPECT_EQ(content.compare(0, 2, kMark), 0);
    EXPECT_NE(content.find(Utf16(L", INFO : hello\r\n")), std::string::npos);
}

}  // namespace
