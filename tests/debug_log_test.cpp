// Debug log: buffer accounting, line layout in the file and the file write's argument checks. The
// filter, the logging thread draining into nvxs.log in order (and the final flush after it has
// stopped), rotation and other processes sharing the file are seen end to end by the console-start
// and debug-log-file scenarios.
#include "runtime/debug_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "tests/support/temp_dir.h"

namespace {

using nvx_test::ReadFileBytes;

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SgDebugShutdown();  // start from an empty buffer whatever ran before
        ASSERT_TRUE(SgDebugInit());
        ASSERT_TRUE(SgInitOsSymbols());
        ASSERT_TRUE(SgInitMemory());
        ASSERT_FALSE(dir_.empty());
        nvx_test::NtPath nt(dir_);
        ASSERT_TRUE(SgDebugSetLogDirectory(&nt.us));
        SgDebugSetFilter(kDefaultDebugFacilities, kDefaultDebugLevel);
    }
    void TearDown() override {
        EXPECT_TRUE(SgShutdownMemory()) << "pool reported unreleased blocks";
        SgShutdownOsSymbols();
    }
    std::wstring File(const wchar_t* name) const { return dir_ + L"\\" + name; }

    nvx_test::TempDirectory temp_{L"nvxlog-"};
    const std::wstring& dir_ = temp_.path();
};

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

TEST_F(DebugLogTest, WriteFileRefusesAMissingBufferAndWritesNothingForNoBytes) {
    EXPECT_EQ(SgDebugWriteFile(nullptr, 4), 0xC000000Du);
    EXPECT_EQ(SgDebugWriteFile("x", 0), 0u);
    EXPECT_EQ(ReadFileBytes(File(L"nvxs.log")), "<missing>");
}

}  // namespace
