// CSV rows, the statistics source, the deny-write text files and the rotating CSV performance
// log, checked on the bytes that reach the disk.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "perf/csv.h"
#include "perf/perf_logger.h"
#include "perf/stats_gatherer.h"
#include "perf/text_file.h"
#include "tests/support/temp_dir.h"

namespace {

using Kestro::Csv::csv_exception;
using Kestro::Csv::ReadRow;
using Kestro::Csv::WriteRow;
using Kestro::Perf::PerfLogger;
using Kestro::Perf::TextFileMode;
using Kestro::Perf::TextFileStream;
using Rows = std::vector<std::string>;
using nvx_test::ReadFileBytes;
using nvx_test::WriteFileBytes;

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

FILETIME MakeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    const SYSTEMTIME st{year, month, 0, day, hour, minute, second, ms};
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return ft;
}

// Statistics set by the test; every Gather publishes them (or fails, when told to).
class TestGatherer : public Kestro::Perf::StatsGatherer {
public:
    void Set(std::vector<std::pair<std::string, int64_t>> stats) { stats_ = std::move(stats); }
    void FailWith(const char* text) { failure_ = text; }
    void DropValueOf(const std::string& name) { dropped_ = name; }
    int gathers = 0;

    void Gather() override {
        ++gathers;
        if (!failure_.empty()) throw std::runtime_error(failure_);
        names_.clear();
        values_.clear();
        for (const auto& [name, value] : stats_) {
            names_.push_back(name);
            if (name != dropped_) values_[name] = value;
        }
    }

private:
    std::vector<std::pair<std::string, int64_t>> stats_;
    std::string failure_;
    std::string dropped_;
};

std::string WriteText(const Rows& fields) {
    std::ostringstream out;
    WriteRow(out, fields);
    return out.str();
}

Rows ReadText(const std::string& text) {
    std::istringstream in(text);
    Rows fields{"untouched"};
    ReadRow(in, fields);
    return fields;
}

std::string CsvError(const std::string& line) {
    std::istringstream in(line);
    Rows fields{"untouched"};
    try {
        ReadRow(in, fields);
    } catch (const csv_exception& e) {
        EXPECT_EQ(fields, Rows{"untouched"}) << "a refused row leaves the output as it was";
        return e.what();
    }
    return "no error";
}

TEST(Csv, FieldsRoundTripWithQuotingOnlyWhereNeeded) {
    const Rows fields{"", "plain", "a,b", "say \"hi\"", "\"", "\"\"", ",", "x\ry", "\\Set(inst 1)\\Total reads"};
    const std::string text = WriteText(fields);
    EXPECT_EQ(text, ",plain,\"a,b\",\"say \"\"hi\"\"\",\"\"\"\",\"\"\"\"\"\",\",\",x\ry,\\Set(inst 1)\\Total reads\n");
    EXPECT_EQ(ReadText(text), fields);

    EXPECT_EQ(WriteText({}), "\n");
    EXPECT_EQ(ReadText("\n"), Rows{""});
    EXPECT_EQ(ReadText("\"\"\n"), Rows{""});
    EXPECT_EQ(ReadText("\"\"\"\"\n"), Rows{"\""});

    // Consecutive rows on one stream, and a last line without a line feed reads as nothing.
    std::istringstream in("a,b\n\"c,d\"\ntail");
    Rows row;
    EXPECT_TRUE(ReadRow(in, row).good());
    EXPECT_EQ(row, (Rows{"a", "b"}));
    EXPECT_TRUE(ReadRow(in, row).good());
    EXPECT_EQ(row, Rows{"c,d"});
    EXPECT_FALSE(ReadRow(in, row).good());
    EXPECT_TRUE(row.empty());
}

TEST(Csv, RefusesNewlinesAndOddQuotes) {
    std::ostringstream out;
    try {
        WriteRow(out, {"first", "two\nlines", "last"});
        ADD_FAILURE() << "a field with a line feed was written";
    } catch (const csv_exception& e) {
        EXPECT_STREQ(e.what(), "newline in the field");
    }
    EXPECT_EQ(out.str(), "") << "nothing of a refused row is written";

    EXPECT_EQ(CsvError("a\"b\n"), "odd number of quotes in CSV row");
    EXPECT_EQ(CsvError("\"open,field\n"), "odd number of quotes in CSV row");
    EXPECT_EQ(CsvError("ok,\"\"\"\n"), "odd number of quotes in CSV row");
    EXPECT_EQ(CsvError("ok,\"\"\"\"\n"), "no error");
}

TEST(StatsGatherer, ValueOfAnUnknownNameIsRefused) {
    TestGatherer gatherer;
    gatherer.Set({{"known", -7}});
    gatherer.Gather();
    EXPECT_EQ(gatherer.GetValue("known"), -7);
    try {
        gatherer.GetValue("unknown");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid instance requested");
    }
}

class PerfFilesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root_.empty()); }

    nvx_test::TempDirectory temp_{L"nvxperf-"};
    const std::wstring& root_ = temp_.path();
};

// Every way the log opens its file lets others read it and nobody else write it.
TEST_F(PerfFilesTest, OpenFilesDenyWritersButNotReaders) {
    const std::wstring path = root_ + L"\\shared.csv";
    for (const TextFileMode mode : {TextFileMode::Create, TextFileMode::Append, TextFileMode::Read}) {
        SCOPED_TRACE(static_cast<int>(mode));
        TextFileStream file(path, mode);
        ASSERT_TRUE(file.IsOpen()) << file.OpenError();
        HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
        if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
        EXPECT_TRUE(file.Close());
    }
    // Create never truncates a file that is there.
    TextFileStream again(path, TextFileMode::Create);
    EXPECT_FALSE(again.IsOpen());
    EXPECT_EQ(again.OpenError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_TRUE(again.bad());
}

// Text-mode line ends: "\n" is stored as CR LF and read back as "\n", also when a CR LF pair
// is split between two reads of the file; a lone CR stays.
TEST_F(PerfFilesTest, LineEndsAreCrLfOnDisk) {
    const std::wstring path = root_ + L"\\lines.csv";
    const std::string longLine(4095, 'x');
    {
        TextFileStream out(path, TextFileMode::Create);
        out << longLine << "\nlone\rcr\n";
        ASSERT_TRUE(out.Close());
    }
    {
        TextFileStream out(path, TextFileMode::Append);
        out << "end\n";
        ASSERT_TRUE(out.Close());
    }
    EXPECT_EQ(ReadFileBytes(path), longLine + "\r\nlone\rcr\r\nend\r\n");
    TextFileStream in(path, TextFileMode::Read);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, longLine);
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "lone\rcr");
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "end");
    EXPECT_FALSE(std::getline(in, line));
}

class PerfLoggerTest : public PerfFilesTest {
protected:
    void SetUp() override {
        PerfFilesTest::SetUp();
        dir_ = root_ + L"\\Kestro\\Vantor\\Logs\\Perf";
        gatherer_.Set({{"\\Set(inst)\\Total reads", 5}, {"\\Other\\Errors", -1}});
    }
    std::wstring Copy(int n) const { return dir_ + L"\\NvxPerformance.csv." + std::to_wstring(n); }
    std::wstring Base() const { return dir_ + L"\\NvxPerformance.csv"; }
    // A file of exactly `size` bytes that starts with the header of the gatherer's columns.
    std::string CurrentFileOfSize(size_t size) {
        std::string data = kHeader;
        while (data.size() + 13 <= size) data += "1,2,3,4,5\r\n";
        data += std::string(size - data.size() - 2, '9') + "\r\n";
        EXPECT_EQ(data.size(), size);
        return data;
    }
    std::string WriteError(PerfLogger& logger, FILETIME time) {
        try {
            logger.Write(time);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no error";
    }

    static constexpr const char* kHeader = "timestamp,\\Set(inst)\\Total reads,\\Other\\Errors\r\n";
    static constexpr const char* kRow = "2026-12-07T01:02:03.456Z,5,18446744073709551615\r\n";
    const FILETIME time_ = MakeTime(2026, 12, 7, 1, 2, 3, 456);
    std::wstring dir_;
    TestGatherer gatherer_;
};

TEST_F(PerfLoggerTest, FirstWriteCreatesFoldersHeaderAndRowThenAppends) {
    PerfLogger logger(dir_, gatherer_);
    EXPECT_EQ(logger.Path(), Base());
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Base()), std::string(kHeader) + kRow);

    logger.Write(MakeTime(2026, 12, 7, 1, 7, 3, 9));
    EXPECT_EQ(ReadFileBytes(Base()),
              std::string(kHeader) + kRow + "2026-12-07T01:07:03.009Z,5,18446744073709551615\r\n");
    EXPECT_FALSE(Exists(Copy(1)));
    EXPECT_EQ(gatherer_.gathers, 2);
}

// Names that need quoting read back equal, so the header is recognised and kept.
TEST_F(PerfLoggerTest, QuotedColumnNamesDoNotRotateEverySample) {
    gatherer_.Set({{"\\Set(a,b)\\Count", 1}, {"\\Set(say \"x\")\\Count", 2}});
    PerfLogger logger(dir_, gatherer_);
    logger.Write(time_);
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Base()),
              "timestamp,\"\\Set(a,b)\\Count\",\"\\Set(say \"\"x\"\")\\Count\"\r\n"
              "2026-12-07T01:02:03.456Z,1,2\r\n2026-12-07T01:02:03.456Z,1,2\r\n");
    EXPECT_FALSE(Exists(Copy(1)));
}

TEST_F(PerfLoggerTest, SizeLimitRotatesAtOneMillionBytes) {
    PerfLogger::EnsureFolder(dir_);
    PerfLogger logger(dir_, gatherer_);

    const std::string below = CurrentFileOfSize(999999);
    ASSERT_TRUE(WriteFileBytes(Base(), below));
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Base()), below + kRow);
    EXPECT_FALSE(Exists(Copy(1)));

    const std::string full = CurrentFileOfSize(1000000);
    ASSERT_TRUE(WriteFileBytes(Base(), full));
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Copy(1)), full);
    EXPECT_EQ(ReadFileBytes(Base()), std::string(kHeader) + kRow);
}

// Files whose first line is no header of the current columns are kept as copies and a new file
// is started: empty, another column list, a line the reader refuses.
TEST_F(PerfLoggerTest, StaleOrUnreadableHeaderStartsANewFile) {
    PerfLogger::EnsureFolder(dir_);
    PerfLogger logger(dir_, gatherer_);

    ASSERT_TRUE(WriteFileBytes(Base(), ""));
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Copy(1)), "");
    EXPECT_EQ(ReadFileBytes(Base()), std::string(kHeader) + kRow);

    gatherer_.Set({{"\\Set(inst)\\Total reads", 5}, {"\\Other\\Errors", -1}, {"\\Set(new)\\Total reads", 0}});
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Copy(2)), "");
    EXPECT_EQ(ReadFileBytes(Copy(1)), std::string(kHeader) + kRow);
    EXPECT_EQ(ReadFileBytes(Base()),
              "timestamp,\\Set(inst)\\Total reads,\\Other\\Errors,\\Set(new)\\Total reads\r\n"
              "2026-12-07T01:02:03.456Z,5,18446744073709551615,0\r\n");

    gatherer_.Set({{"\\Set(inst)\\Total reads", 5}, {"\\Other\\Errors", -1}});
    ASSERT_TRUE(WriteFileBytes(Base(), "timestamp,\"unclosed\r\n1,2\r\n"));
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Copy(1)), "timestamp,\"unclosed\r\n1,2\r\n");
    EXPECT_EQ(ReadFileBytes(Base()), std::string(kHeader) + kRow);

    // A header without its line end is not a complete header either.
    ASSERT_TRUE(WriteFileBytes(Base(), "timestamp,\\Set(inst)\\Total reads,\\Other\\Errors"));
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Copy(1)), "timestamp,\\Set(inst)\\Total reads,\\Other\\Errors");
    EXPECT_EQ(ReadFileBytes(Base()), std::string(kHeader) + kRow);
}

TEST_F(PerfLoggerTest, RotationKeepsTenCopiesNewestFirst) {
    PerfLogger::EnsureFolder(dir_);
    PerfLogger logger(dir_, gatherer_);
    ASSERT_TRUE(WriteFileBytes(Base(), "base\r\n"));
    for (int n = 1; n <= 10; ++n) ASSERT_TRUE(WriteFileBytes(Copy(n), "copy " + std::to_string(n) + "\r\n"));

    logger.RotateFiles();
    EXPECT_FALSE(Exists(Base()));
    EXPECT_EQ(ReadFileBytes(Copy(1)), "base\r\n");
    for (int n = 2; n <= 10; ++n) EXPECT_EQ(ReadFileBytes(Copy(n)), "copy " + std::to_string(n - 1) + "\r\n");
    EXPECT_FALSE(Exists(Copy(11)));

    // Gaps in the numbering are passed over.
    DeleteFileW(Copy(4).c_str());
    ASSERT_TRUE(WriteFileBytes(Base(), "stale header\r\n"));
    logger.Write(time_);
    EXPECT_EQ(ReadFileBytes(Base()), std::string(kHeader) + kRow);
    EXPECT_EQ(ReadFileBytes(Copy(1)), "stale header\r\n");
    EXPECT_EQ(ReadFileBytes(Copy(2)), "base\r\n");
    EXPECT_EQ(ReadFileBytes(Copy(3)), "copy 1\r\n");
    EXPECT_EQ(ReadFileBytes(Copy(4)), "copy 2\r\n");
    EXPECT_FALSE(Exists(Copy(5)));
    EXPECT_EQ(ReadFileBytes(Copy(6)), "copy 4\r\n");
    EXPECT_EQ(ReadFileBytes(Copy(10)), "copy 8\r\n");
}

// A file that cannot be moved away is never truncated: the sample fails and its data stays.
TEST_F(PerfLoggerTest, FileThatCannotBeRotatedKeepsItsData) {
    PerfLogger::EnsureFolder(dir_);
    PerfLogger logger(dir_, gatherer_);
    const std::string full = CurrentFileOfSize(1000000);
    ASSERT_TRUE(WriteFileBytes(Base(), full));
    HANDLE holder = CreateFileW(Base().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteError(logger, time_), "Failed to create the log file, error 80");
    CloseHandle(holder);
    EXPECT_EQ(ReadFileBytes(Base()), full);

    logger.Write(time_);  // the next sample rotates as usual
    EXPECT_EQ(ReadFileBytes(Copy(1)), full);
    EXPECT_EQ(ReadFileBytes(Base()), std::string(kHeader) + kRow);
}

// Failures before the file is touched leave the disk as it was.
TEST_F(PerfLoggerTest, FailedSampleWritesNothing) {
    PerfLogger logger(dir_, gatherer_);

    gatherer_.FailWith("PdhCollectQueryData unexpected result: -1073738824");
    EXPECT_EQ(WriteError(logger, time_), "PdhCollectQueryData unexpected result: -1073738824");
    EXPECT_FALSE(Exists(root_ + L"\\Kestro")) << "no folder before a sample exists";
    gatherer_.FailWith("");

    gatherer_.DropValueOf("\\Other\\Errors");
    EXPECT_EQ(WriteError(logger, time_), "Invalid instance requested");
    gatherer_.DropValueOf("");

    logger.Write(time_);
    const std::string before = ReadFileBytes(Base());
    gatherer_.Set({{"\\Set(two\nlines)\\Count", 1}});
    EXPECT_EQ(WriteError(logger, time_), "newline in the field");
    EXPECT_EQ(ReadFileBytes(Base()), before);
    EXPECT_FALSE(Exists(Copy(1)));

    const int gathers = gatherer_.gathers;
    EXPECT_EQ(WriteError(logger, FILETIME{0xFFFFFFFFu, 0xFFFFFFFFu}), "FileTimeToSystemTime failed");
    EXPECT_EQ(WriteError(logger, FILETIME{0xFFFFFFFFu, 0x7FFFFFFFu}), "Timestamp out of range");
    EXPECT_EQ(gatherer_.gathers, gathers) << "no gather without a time";
    EXPECT_EQ(PerfLogger::FormatTimestamp(MakeTime(9999, 12, 31, 23, 59, 59, 999)), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(PerfLogger::FormatTimestamp(MakeTime(1601, 1, 1, 0, 0, 0, 0)), "1601-01-01T00:00:00.000Z");
}

TEST_F(PerfLoggerTest, FolderPathThroughAFileIsRefused) {
    const std::wstring file = root_ + L"\\plain-file";
    ASSERT_TRUE(WriteFileBytes(file, "x"));
    auto folderError = [](const std::wstring& path) -> std::string {
        try {
            PerfLogger::EnsureFolder(path);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(folderError(file), "EnsureFolder: Already exists but not a directory");
    EXPECT_EQ(folderError(file + L"\\Logs\\Perf"), "EnsureFolder: Already exists but not a directory");
    EXPECT_FALSE(Exists(file + L"\\Logs"));

    PerfLogger logger(file + L"\\Perf", gatherer_);
    EXPECT_EQ(WriteError(logger, time_), "EnsureFolder: Already exists but not a directory");

    EXPECT_EQ(folderError(root_ + L"\\new\\chain\\"), "no error");
    EXPECT_EQ(GetFileAttributesW((root_ + L"\\new\\chain").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(folderError(root_ + L"\\new\\chain"), "no error");
}

}  // namespace
