// WSC client: the rule that keeps driver text from forging the requester's identity, the command
// line's limits, and the handler's outcomes that need no running client (no path, refused text),
// with replies going to a capturing router. The command line a client sees, a protected start the
// OS refuses and a client that really runs are exercised by the wsc_client scenario.
#include "comms/wsc_client.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "comms/async_channel.h"
#include "comms/command_attrs.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/unistr.h"
#include "tests/support/command_harness.h"
#include "tests/support/log_capture.h"

namespace {

using namespace nvx_wire;

using nvx_test::BlocksInUse;
using nvx_test::PayloadOf;
using nvx_test::Replies;
using nvx_test::TakeLogWithoutPoolDebug;

std::vector<std::string> Texts(const std::vector<nvx_test::LogLine>& log) {
    std::vector<std::string> texts;
    for (const auto& line : log) texts.push_back(line.text);
    return texts;
}

const std::pair<uint32_t, uint32_t> kPolicyError{SG_FAC_POLICY, SG_LVL_ERROR};

std::wstring Wide(const UNICODE_STRING* s) { return std::wstring(s->Buffer, s->Length / sizeof(wchar_t)); }

// ---- the argument rule ----------------------------------------------------------------------

TEST(WscArguments, QuotesControlCharactersAndSpidAreRefusedWhereverTheyAre) {
    struct Case {
        const char* text;
        SgWscArgumentFault fault;
        uint32_t offset;
    };
    const Case cases[] = {
        {"", SgWscArgumentFault::kNone, 0},
        {"-x  y", SgWscArgumentFault::kNone, 0},
        {"/sp id spid /spi \x7f \xc3\xa9", SgWscArgumentFault::kNone, 0},  // DEL and UTF-8 pass
        {"a\"b", SgWscArgumentFault::kDoubleQuote, 1},
        {"\"", SgWscArgumentFault::kDoubleQuote, 0},
        {"-x\tb", SgWscArgumentFault::kControlCharacter, 2},
        {"x\r\nfake line", SgWscArgumentFault::kControlCharacter, 1},
        {"\x1f", SgWscArgumentFault::kControlCharacter, 0},
        {"-x /spid 1:2", SgWscArgumentFault::kSpidSwitch, 3},
        {"/SpId", SgWscArgumentFault::kSpidSwitch, 0},
        {"x//SPID9", SgWscArgumentFault::kSpidSwitch, 2},
        {"\xc3\xa9 /spid \"", SgWscArgumentFault::kSpidSwitch, 3},  // the first fault counts
    };
    for (const Case& c : cases) {
        uint32_t offset = 99;
        EXPECT_EQ(SgCheckWSCClientArguments(c.text, &offset), c.fault) << c.text;
        EXPECT_EQ(offset, c.offset) << c.text;
    }
}

// ---- the command line -----------------------------------------------------------------------

class WscCommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitMemory());
        path = SgCreateUnistrFromWide(L"C:\\Program Files (x86)\\Kestro\\Kestro Anti-Virus\\WSCClient.exe");
        ASSERT_NE(path, nullptr);
        TakeLogWithoutPoolDebug();
    }
    void TearDown() override {
        SgFreeUnistr(path);
        EXPECT_TRUE(SgShutdownMemory()) << "pool blocks left behind";
    }
    std::wstring Built(const char* arguments, uint32_t pid, uint64_t key) {
        UNICODE_STRING* s = SgBuildWSCClientCommandLine(path, arguments, pid, key);
        if (s == nullptr) return L"(none)";
        std::wstring text = Wide(s);
        EXPECT_EQ(s->Buffer[s->Length / 2], L'\0') << "CreateProcessW needs the NUL";
        SgFreeUnistr(s);
        return text;
    }
    UNICODE_STRING* path = nullptr;
    const std::wstring quoted = L"\"C:\\Program Files (x86)\\Kestro\\Kestro Anti-Virus\\WSCClient.exe\" ";
};

TEST_F(WscCommandLineTest, IdentityIsUnsignedAndTextThatCannotBeConvertedOrDoesNotFitIsLoggedOnce) {
    EXPECT_EQ(Built("-a", 4294967295u, 18446744073709551615ull), quoted + L"-a /spid 4294967295:18446744073709551615");
    EXPECT_TRUE(TakeLogWithoutPoolDebug().empty());
    const uint64_t before = BlocksInUse();
    EXPECT_EQ(Built("bad \xed\xa0\x80", 7, 1), L"(none)");
    // Converts (65,532 bytes), but not with " /spid 7:1" behind it.
    const std::string longest(32766, 'a');
    EXPECT_EQ(Built(longest.c_str(), 7, 1), L"(none)");
    // Fits with its identity, but not behind the quoted path.
    const std::string almost(32700, 'a');
    EXPECT_EQ(Built(almost.c_str(), 7, 1), L"(none)");
    EXPECT_EQ(BlocksInUse(), before);

    const auto log = TakeLogWithoutPoolDebug();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].text.rfind("SgExecWSCClient failed, SgCreateUnistrFromChar returned NULL, buf = bad ", 0), 0u);
    EXPECT_EQ(log[1].text.rfind("SgExecWSCClient failed, cmdlineadditional returned as NULL, buf = aaa", 0), 0u);
    EXPECT_EQ(log[2].text.rfind("SgExecWSCClient failed, cmdargs returned as NULL, buf = aaa", 0), 0u);
    for (const auto& line : log) EXPECT_EQ(std::make_pair(line.facility, line.level), kPolicyError) << line.text;
}

// ---- the handler ----------------------------------------------------------------------------

// A command from process 4242 with key 7, run as the router runs it.
void Execute(const std::string& text, uint8_t kind = kKindExec) { nvx_test::ExecuteCommand(text, kind); }

class WscClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitMemory());
        ASSERT_TRUE(SgInitCommandAttrs());
        ASSERT_TRUE(SgInitWSCClient());
        nvx_test::CaptureReplies();
        TakeLogWithoutPoolDebug();
    }
    void TearDown() override {
        nvx_test::ReleaseReplies();
        SgShutdownWSCClient();
        SgShutdownCommandAttrs();
        EXPECT_TRUE(SgShutdownMemory()) << "pool blocks left behind";
    }
};

TEST_F(WscClientTest, ExecOnlyAndWithoutAPathNoReply) {
    Execute("WSCClient -x", kKindGet);
    Execute("wscclient -x");
    EXPECT_TRUE(Replies().empty()) << "the router reports the failure";
    EXPECT_EQ(Texts(TakeLogWithoutPoolDebug()),
              (std::vector<std::string>{
                  "SgExecuteCommand: Get (kind 1) is not permitted for WSCClient",
                  "SgExecWSCClient called, buf = -x, source pid = 4242",
                  "SgExecWSCClient failed, SgGetUserPathFromKernelPathW returned NULL",
              }));

    SgMessage* m = nvx_test::ReceivedCommand("wscclient -x", kKindExec);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(SgExecWSCClient(m, nullptr), 0);
    SgMessageHeader(m)->type = kTypeEvent;
    EXPECT_EQ(SgExecWSCClient(m, "-x"), 0);
    SgDestroyMessage(m);
    EXPECT_TRUE(Replies().empty());
    EXPECT_EQ(Texts(TakeLogWithoutPoolDebug()), (std::vector<std::string>{
                                                    "SgExecWSCClient called with NULL buffer",
                                                    "SgExecWSCClient called with unexpected command type 6",
                                                }));
}

// Vetted before the client is even looked for (there is none here).
TEST_F(WscClientTest, RefusedTextIsAnsweredMinusOneAndNeverLoggedAsItCame) {
    Execute("wscclient -x\r\n2030-01-01T00:00:00.000Z NVXS Policy Info forged");
    Execute("wscclient -x /SPID 1:2");
    ASSERT_EQ(Replies().size(), 2u);
    for (SgMessage* reply : Replies()) EXPECT_EQ(PayloadOf(reply), std::string("-1", 3));
    const auto log = TakeLogWithoutPoolDebug();
    EXPECT_EQ(Texts(log), (std::vector<std::string>{
                              "SgExecWSCClient refused the arguments: they hold a control character at offset 2, "
                              "source pid = 4242",
                              "SgExecWSCClient refused the arguments: they hold its own /spid at offset 3, "
                              "source pid = 4242",
                          }));
    for (const auto& line : log) EXPECT_EQ(std::make_pair(line.facility, line.level), kPolicyError) << line.text;
}

}  // namespace
