// Debug log: filter, buffer accounting, line layout in the file, rotation and sharing,
// and the logging thread draining into nvxs.log.
#include "runtime/debug_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "tests/support/temp_dir.h"

namespace {

using nvx_test::ReadFileBytes;
using nvx_test::WriteFileBytes;

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SgDebugShutdown();  // start from an empty buffer whatever ran before
        ASSERT_TRUE(SgDebugInit());
        ASSERT_TRUE(SgInitOsSymbols());
        ASSERT_TRUE(SgInitMemory());
        dir_ = nvx_test::NewTempDirectory(L"nvxlog-");
        ASSERT_FALSE(dir_.empty());
        std::wstring nt = L"\\??\\" + dir_;
        UNICODE_STRING u;
        u.Buffer = nt.data();
        u.Length = static_cast<USHORT>(nt.size() * sizeof(wchar_t));
        u.MaximumLength = u.Length;
        ASSERT_TRUE(SgDebugSetLogDirectory(&u));
        SgDebugSetFilter(kDefaultDebugFacilities, kDefaultDebugLevel);
    }
    void TearDown() override {
        SgDebugStopThread();
        EXPECT_TRUE(SgShutdownMemory()) << "pool reported unreleased blocks";
        SgShutdownOsSymbols();
        if (!dir_.empty()) nvx_test::RemoveTree(dir_);
    }
    std::wstring File(const wchar_t* name) const { return dir_ + L"\\" + name; }

    std::wstring dir_;
};

TEST_F(DebugLogTest, FilterPassesLevelAndFacilityAsConfigured) {
    uint32_t before = SgDebugBufferedBytes();
    SgDebugPrint(SG_FAC_INIT, SG_LVL_DEBUG, "debug line");
    EXPECT_EQ(SgDebugBufferedBytes(), before) << "Debug is below the default level Info";
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "error line");
    EXPECT_GT(SgDebugBufferedBytes(), before);

    SgDebugSetFilter(SG_FAC_COMMS, 0);  // level 0 lets every level through
    before = SgDebugBufferedBytes();
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_DEBUG, "comms debug");
    EXPECT_GT(SgDebugBufferedBytes(), before);
    before = SgDebugBufferedBytes();
    SgDebugPrint(SG_FAC_NOTIFY, SG_LVL_EMERG, "other facility");
    EXPECT_EQ(SgDebugBufferedBytes(), before);

    SgDebugSetFilter(kDefaultDebugFacilities, 9);  // above Emerg: nothing passes
    SgDebugPrint(SG_FAC_INIT, SG_LVL_EMERG, "nothing");
    EXPECT_EQ(SgDebugBufferedBytes(), before);
}

TEST_F(DebugLogTest, StoredLinesHaveThePrefixTheCutAndTheLineEnd) {
    uint32_t start = SgDebugBufferedBytes();
    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "%s", "");  // empty text: neither stored nor missed
    EXPECT_EQ(SgDebugBufferedBytes(), start);
    EXPECT_EQ(SgDebugMissedMessages(), 0u);

    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "%s", std::string(5000, 'x').c_str());
    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_WARNING, "value %d", 7);
    // Text from outside cannot forge a line of its own.
    SgDebugPrint(SG_FAC_COMMS, SG_LVL_ERROR, "name %s", "a\r\n2026-01-01T00:00:00.000Z NVXS Init Info forged\tx");
    // Flushing through shutdown writes the buffer to nvxs.log on this thread.
    SgDebugShutdown();
    std::string text = ReadFileBytes(File(L"nvxs.log"));
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "every line ends in CR LF";
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    ASSERT_EQ(lines.size(), 3u);
    const std::string& cut = lines[0];
    ASSERT_GE(cut.size(), 24u);
    EXPECT_EQ(cut[4], '-');
    EXPECT_EQ(cut[10], 'T');
    EXPECT_EQ(cut[23], 'Z');
    EXPECT_EQ(cut.substr(24, 16), " NVXS Init Info ");
    EXPECT_EQ(cut.size(), 24u + 16u + 1021u) << "the message keeps its first 1,021 characters";
    EXPECT_EQ(lines[1].substr(24), " NVXS Shutdown Warning value 7");
    EXPECT_EQ(lines[2].substr(24), " NVXS Comms Error name a??2026-01-01T00:00:00.000Z NVXS Init Info forged\tx");
    ASSERT_TRUE(SgDebugInit());
}

TEST_F(DebugLogTest, FullBufferCountsMissedMessagesWithoutCorruptingStoredOnes) {
    std::string line(200, 'm');
    uint64_t missedBefore = SgDebugMissedMessages();
    int printed = 0;
    while (SgDebugMissedMessages() == missedBefore) {
        SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "%s", line.c_str());
        ++printed;
        ASSERT_LT(printed, 1000) << "the 64 KiB buffer never filled";
    }
    uint32_t used = SgDebugBufferedBytes();
    EXPECT_LT(used, kDebugBufferSize) << "a line is stored only while it fits strictly";
    for (int i = 0; i < 10; ++i) SgDebugPrint(SG_FAC_MEM, SG_LVL_ERROR, "%s", line.c_str());
    EXPECT_EQ(SgDebugMissedMessages(), missedBefore + 11);
    EXPECT_EQ(SgDebugBufferedBytes(), used);

    SgDebugShutdown();  // also logs the missed count, which is itself dropped: the buffer is full
    std::string text = ReadFileBytes(File(L"nvxs.log"));
    EXPECT_EQ(text.size(), used);
    size_t lineLength = 24 + std::string(" NVXS Mem Error ").size() + line.size() + 2;
    EXPECT_EQ(text.size() % lineLength, 0u);
    ASSERT_TRUE(SgDebugInit());
}

TEST_F(DebugLogTest, RotatesOnlyPastOneMebibyteThroughFourOlderFiles) {
    const std::string block = "new block\r\n";
    ASSERT_TRUE(WriteFileBytes(File(L"nvxs.log"), std::string(1048576, 'a')));
    for (int i = 1; i <= 4; ++i)
        ASSERT_TRUE(WriteFileBytes(File((L"nvxs" + std::to_wstring(i) + L".log").c_str()), "old" + std::to_string(i)));

    // Exactly 1 MiB is not past the threshold: the block is appended.
    EXPECT_EQ(SgDebugWriteFile(block.data(), static_cast<uint32_t>(block.size())), 0u);
    EXPECT_EQ(ReadFileBytes(File(L"nvxs.log")).size(), 1048576u + block.size());
    EXPECT_EQ(ReadFileBytes(File(L"nvxs1.log")), "old1");

    // Now one block past it: the next write rotates first.
    EXPECT_EQ(SgDebugWriteFile(block.data(), static_cast<uint32_t>(block.size())), 0u);
    EXPECT_EQ(ReadFileBytes(File(L"nvxs.log")), block);
    EXPECT_EQ(ReadFileBytes(File(L"nvxs1.log")).size(), 1048576u + block.size());
    EXPECT_EQ(ReadFileBytes(File(L"nvxs2.log")), "old1");
    EXPECT_EQ(ReadFileBytes(File(L"nvxs3.log")), "old2");
    EXPECT_EQ(ReadFileBytes(File(L"nvxs4.log")), "old3") << "the oldest file is dropped";

    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir_ + L"\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    int files = 0;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(files, 5);
}

TEST_F(DebugLogTest, OtherProcessesMayReadAndRenameTheLogWhileItIsWritten) {
    const std::string first = "first\r\n", second = "second\r\n";
    ASSERT_EQ(SgDebugWriteFile(first.data(), static_cast<uint32_t>(first.size())), 0u);
    HANDLE reader =
        CreateFileW(File(L"nvxs.log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SgDebugWriteFile(second.data(), static_cast<uint32_t>(second.size())), 0u)
        << "a reader holding the file open must not block the writer";
    CloseHandle(reader);
    EXPECT_EQ(ReadFileBytes(File(L"nvxs.log")), first + second);

    ASSERT_TRUE(MoveFileExW(File(L"nvxs.log").c_str(), File(L"taken.log").c_str(), 0));
    EXPECT_EQ(SgDebugWriteFile(first.data(), static_cast<uint32_t>(first.size())), 0u);
    EXPECT_EQ(ReadFileBytes(File(L"nvxs.log")), first) << "the writer starts a new file after a rename";
    EXPECT_EQ(ReadFileBytes(File(L"taken.log")), first + second);

    EXPECT_EQ(SgDebugWriteFile(nullptr, 4), 0xC000000Du);
    EXPECT_EQ(SgDebugWriteFile(first.data(), 0), 0u);
}

TEST_F(DebugLogTest, LoggingThreadDrainsLinesIntoTheFileInOrder) {
    SgDebugPrint(SG_FAC_INIT, SG_LVL_INFO, "before the thread");
    ASSERT_TRUE(SgDebugStartThread());
    EXPECT_TRUE(SgDebugThreadExists());
    for (int i = 0; i < 50; ++i) SgDebugPrint(SG_FAC_SYS, SG_LVL_NOTICE, "line %d", i);
    // Lines reach the file without a shutdown: the thread is woken by each stored line.
    std::string text;
    for (int i = 0; i < 500 && text.find("line 49\r\n") == std::string::npos; ++i) {
        Sleep(10);
        text = ReadFileBytes(File(L"nvxs.log"));
    }
    ASSERT_NE(text.find("line 49\r\n"), std::string::npos);
    size_t last = text.find("before the thread");
    ASSERT_NE(last, std::string::npos);
    for (int i = 0; i < 50; ++i) {
        size_t at = text.find(" NVXS Sys Notice line " + std::to_string(i) + "\r\n");
        ASSERT_NE(at, std::string::npos) << i;
        EXPECT_GT(at, last);
        last = at;
    }
    SgDebugStopThread();
    EXPECT_FALSE(SgDebugThreadExists());
    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_INFO, "after the thread");
    EXPECT_EQ(ReadFileBytes(File(L"nvxs.log")).find("after the thread"), std::string::npos);
    SgDebugShutdown();
    EXPECT_NE(ReadFileBytes(File(L"nvxs.log")).find("after the thread"), std::string::npos)
        << "the final flush writes what the stopped thread left";
    ASSERT_TRUE(SgDebugInit());
}

}  // namespace
