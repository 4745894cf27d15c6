// Command attributes: command text parsing, kind permissions, dispatch by arity, the "Success"
// acknowledgement and the one-final-reply rule, duplicate registration, delayed deletion at
// shutdown, and the WSC client start-up that registers "Version". Replies go to a capturing router
// in place of the channel's; how they are addressed is seen end to end by the driver scenarios.
#include "comms/command_attrs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comms/async_channel.h"
#include "comms/wsc_client.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "tests/support/command_harness.h"
#include "tests/support/log_capture.h"

namespace {

using namespace nvx_wire;

using nvx_test::BlocksInUse;
using nvx_test::PayloadOf;
using nvx_test::ReceivedCommand;
using nvx_test::Replies;
using nvx_test::TakeLogWithoutPoolDebug;
constexpr auto Execute = nvx_test::ExecuteCommand;

// What the test handlers saw.
int g_calls = 0;
std::string g_arguments;
uint64_t g_extra = 0;
uint8_t g_result = 1;
std::vector<std::string> g_order;

uint8_t Handler2(SgMessage* m, const char* arguments) {
    ++g_calls;
    g_arguments = arguments;
    EXPECT_EQ(m->argumentLength, g_arguments.size() + 1) << "the argument length counts the NUL";
    g_order.push_back("handler");
    return g_result;
}
uint8_t Handler3(SgMessage* m, const char* arguments, uint32_t extra) {
    g_extra = extra;
    return Handler2(m, arguments);
}
uint8_t Handler3Set(SgMessage* m, const char* arguments, uint64_t extra) {
    g_extra = extra;
    return Handler2(m, arguments);
}
uint8_t Handler4(SgMessage* m, const char* arguments, uint64_t) {
    Handler2(m, arguments);
    return 0;  // ignored: an arity-4 handler counts as done
}

// Registers `name` for one kind and releases the creator's reference.
SgCommandAttr* Register(const char* name, uint8_t kind, uint8_t arity, void* handler) {
    SgCommandAttr* a = SgCreateCommandAttr(name);
    if (a == nullptr) return nullptr;
    uint8_t* permitted[] = {&a->getPermitted, &a->setPermitted, &a->callPermitted, &a->execPermitted};
    uint8_t* arities[] = {&a->getArity, &a->setArity, &a->callArity, &a->execArity};
    void** handlers[] = {&a->getHandler, &a->setHandler, &a->callHandler, &a->execHandler};
    *permitted[kind - 1] = 1;
    *arities[kind - 1] = arity;
    *handlers[kind - 1] = handler;
    SgReleaseCommandAttr(a);
    return a;
}

template <typename Fn>
void* H(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

class CommandAttrsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitMemory());
        ASSERT_TRUE(SgInitCommandAttrs());
        ASSERT_TRUE(SgInitWSCClient());
        nvx_test::CaptureReplies();
        g_calls = 0;
        g_result = 1;
        g_order.clear();
        TakeLogWithoutPoolDebug();
    }
    void TearDown() override {
        nvx_test::ReleaseReplies();
        SgShutdownWSCClient();
        SgShutdownCommandAttrs();
        EXPECT_TRUE(SgShutdownMemory()) << "pool blocks left behind";
    }
};

// ---- replies --------------------------------------------------------------------------------

TEST_F(CommandAttrsTest, VersionAnswersGetOnlyWithItsTextAndNoAcknowledgement) {
    ASSERT_TRUE(Execute("VERSION", kKindGet));
    ASSERT_EQ(Replies().size(), 1u) << "Get is never acknowledged";
    EXPECT_EQ(PayloadOf(Replies()[0]), std::string("2.1.2", 6));
    EXPECT_TRUE(TakeLogWithoutPoolDebug().empty());
    for (uint8_t kind : std::vector<uint8_t>{kKindSet, kKindCall, kKindExec, 0, 5}) {
        EXPECT_FALSE(Execute("version", kind)) << int(kind);
        EXPECT_EQ(TakeLogWithoutPoolDebug().size(), 1u) << int(kind);
    }
    EXPECT_EQ(Replies().size(), 1u);
}

TEST_F(CommandAttrsTest, UnknownNameIsAnsweredWithTheErrorReply) {
    const uint64_t before = BlocksInUse();
    EXPECT_FALSE(Execute("versions now", kKindGet));
    ASSERT_EQ(Replies().size(), 1u);
    EXPECT_EQ(PayloadOf(Replies()[0]), std::string("ERROR: 0xe0020007", 18));
    SgDestroyMessage(Replies()[0]);
    Replies().clear();
    EXPECT_EQ(BlocksInUse(), before) << "the 64-byte text buffer was returned";
    const auto log = TakeLogWithoutPoolDebug();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "SgExecuteCommand: unknown command versions");
}

TEST_F(CommandAttrsTest, MalformedCommandsFailWithoutReply) {
    for (SgMessage* m : {ReceivedCommand("version", kKindGet, 77, kFlagRequest | kFlagFinal, false),
                         ReceivedCommand("version", kKindGet, 77, kFlagRequest),
                         ReceivedCommand("version", kKindGet, 77, kFlagReply | kFlagFinal),
                         ReceivedCommand("version", kKindGet, 77, kFlagRequest | kFlagFinal, true, 2),
                         ReceivedCommand("", kKindGet, 77, kFlagRequest | kFlagFinal, false)}) {
        EXPECT_FALSE(nvx_test::ExecuteAsRouter(m));
        EXPECT_EQ(TakeLogWithoutPoolDebug().size(), 1u);
    }
    EXPECT_TRUE(Replies().empty());
}

TEST_F(CommandAttrsTest, AtMostOneFinalReplyAndOnlyOnceRouted) {
    SgMessage* request = ReceivedCommand("anything", kKindGet);
    ASSERT_NE(request, nullptr);
    const uint64_t before = BlocksInUse();
    SgClearRouter();
    EXPECT_FALSE(SgSendCommandReply(request, "x"));
    nvx_test::CaptureReplies();
    nvx_test::SetRouterStatus(kCommQueueFull);
    EXPECT_FALSE(SgSendCommandReply(request, "x"));
    EXPECT_EQ(BlocksInUse(), before) << "an unrouted reply is destroyed";
    EXPECT_EQ(request->finalReplySent, 0) << "and does not count";

    nvx_test::SetRouterStatus(kCommSuccess);
    EXPECT_TRUE(SgSendCommandReply(request, "first"));
    EXPECT_EQ(request->replySent & request->finalReplySent, 1);
    EXPECT_FALSE(SgSendCommandReply(request, "second"));
    EXPECT_FALSE(SgSendCommandError(request));
    EXPECT_EQ(Replies().size(), 1u);
    // The router logs why it did not route a reply (this one is a stand-in that does not log):
    // the reply builder adds no second line for the same failure.
    EXPECT_EQ(TakeLogWithoutPoolDebug().size(), 3u) << "each refusal logged once";
    SgDestroyMessage(request);
}

// ---- parsing and dispatch ---------------------------------------------------------------------

TEST_F(CommandAttrsTest, ArgumentTextFollowsTheBlanksAfterTheName) {
    ASSERT_NE(Register("WSCClientTest", kKindExec, 2, H(Handler2)), nullptr);
    ASSERT_TRUE(Execute("wscclienttest  a b", kKindExec));
    EXPECT_EQ(g_arguments, "a b");
    ASSERT_TRUE(Execute("WscClientTest\t \t-x", kKindExec));
    EXPECT_EQ(g_arguments, "-x");
    ASSERT_TRUE(Execute("wscclienttest", kKindExec));
    EXPECT_EQ(g_arguments, "");
    ASSERT_TRUE(Execute("wscclienttest\n y", kKindExec));
    EXPECT_EQ(g_arguments, "\n y") << "a line feed ends the name but is not skipped";
    EXPECT_FALSE(Execute(" wscclienttest", kKindExec)) << "a leading blank leaves an empty name";

    // A longer word is cut to 63 characters for the lookup and passed over whole.
    const std::string name(63, 'n');
    ASSERT_NE(Register(name.c_str(), kKindCall, 2, H(Handler2)), nullptr);
    ASSERT_TRUE(Execute(name + "NNNN tail", kKindCall));
    EXPECT_EQ(g_arguments, "tail");
    EXPECT_EQ(g_calls, 5);
}

TEST_F(CommandAttrsTest, HandlersAreCalledByArityAndTheirResultsDecide) {
    SgCommandAttr* call3 = Register("call3", kKindCall, 3, H(Handler3));
    SgCommandAttr* exec4 = Register("exec4", kKindExec, 4, H(Handler4));
    ASSERT_TRUE(call3 && exec4);
    ASSERT_NE(Register("call4", kKindCall, 4, H(Handler4)), nullptr);
    ASSERT_NE(Register("exec5", kKindExec, 5, H(Handler2)), nullptr);
    ASSERT_NE(Register("none", kKindCall, 2, nullptr), nullptr);
    call3->extraArgument = 0x1122334455667788ull;

    ASSERT_TRUE(Execute("call3 c", kKindCall));
    EXPECT_EQ(g_extra, 0x55667788u) << "Get, Call and Exec take the extra argument as 32 bits";
    ASSERT_TRUE(Execute("exec4 e", kKindExec)) << "an arity-4 result is taken as 1";
    EXPECT_EQ(Replies().size(), 2u);
    for (SgMessage* reply : Replies()) EXPECT_EQ(PayloadOf(reply), std::string("Success", 8));

    g_result = 2;
    EXPECT_TRUE(Execute("call3", kKindCall)) << "any other result succeeds silently";
    g_result = 1;
    call3->acknowledge = 0;
    EXPECT_TRUE(Execute("call3", kKindCall));
    EXPECT_EQ(Replies().size(), 2u);
    g_result = 0;
    EXPECT_FALSE(Execute("call3", kKindCall));
    EXPECT_TRUE(TakeLogWithoutPoolDebug().empty()) << "handlers log their own failures";

    EXPECT_FALSE(Execute("call4", kKindCall)) << "arity 4 is for Exec only";
    EXPECT_FALSE(Execute("exec5", kKindExec));
    EXPECT_FALSE(Execute("none", kKindCall));
    EXPECT_EQ(TakeLogWithoutPoolDebug().size(), 3u);
    EXPECT_EQ(g_calls, 5);
    EXPECT_EQ(Replies().size(), 2u);
}

TEST_F(CommandAttrsTest, HandlerReplySuppressesTheAcknowledgement) {
    auto answers = +[](SgMessage* m, const char*) -> uint8_t { return SgSendCommandReply(m, "5") ? 1 : 0; };
    ASSERT_NE(Register("answers", kKindExec, 2, H(answers)), nullptr);
    ASSERT_TRUE(Execute("answers", kKindExec));
    ASSERT_EQ(Replies().size(), 1u);
    EXPECT_EQ(PayloadOf(Replies()[0]), std::string("5", 2));
    EXPECT_TRUE(TakeLogWithoutPoolDebug().empty()) << "the suppressed acknowledgement is not a failure";
}

bool g_preAnswer = true, g_postAnswer = true;

TEST_F(CommandAttrsTest, SetRunsItsChecksAroundTheHandler) {
    SgCommandAttr* set = Register("setting", kKindSet, 3, H(Handler3Set));
    ASSERT_NE(set, nullptr);
    set->extraArgument = 0x1122334455667788ull;
    set->preCheck = [](SgMessage*) {
        g_order.push_back("pre");
        return g_preAnswer;
    };
    set->postCheck = [](SgMessage*) {
        g_order.push_back("post");
        return g_postAnswer;
    };
    const std::vector<std::string> all = {"pre", "handler", "post"};

    g_result = 0;  // not used: the post-check decides
    ASSERT_TRUE(Execute("setting on", kKindSet));
    EXPECT_EQ(g_order, all);
    EXPECT_EQ(g_extra, 0x1122334455667788ull) << "Set takes the extra argument as 64 bits";
    ASSERT_EQ(Replies().size(), 1u);
    EXPECT_EQ(PayloadOf(Replies()[0]), std::string("Success", 8));

    g_order.clear();
    g_preAnswer = false;
    EXPECT_FALSE(Execute("setting on", kKindSet));
    EXPECT_EQ(g_order, std::vector<std::string>{"pre"});
    g_order.clear();
    g_preAnswer = true;
    g_postAnswer = false;
    EXPECT_FALSE(Execute("setting on", kKindSet));
    g_postAnswer = true;
    EXPECT_EQ(g_order, all);
    EXPECT_EQ(Replies().size(), 1u) << "failed Sets are not acknowledged";
}

// ---- registry and start-up --------------------------------------------------------------------

TEST_F(CommandAttrsTest, DuplicateRegistrationReturnsNullAndLeavesTheFirst) {
    SgCommandAttr* probe = Register("Probe", kKindCall, 2, H(Handler2));
    ASSERT_NE(probe, nullptr);
    // Same bytes in another order: same bucket, another key.
    SgCommandAttr* other = Register("borPe", kKindCall, 2, H(Handler2));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->header.bucket, probe->header.bucket);
    const uint32_t count = probe->referenceCount;
    EXPECT_EQ(SgCreateCommandAttr("PROBE"), nullptr);
    EXPECT_EQ(probe->referenceCount, count);
    EXPECT_STREQ(probe->name, "Probe");
    EXPECT_EQ(SgFindCommandAttr("pRoBe"), probe);
    SgReleaseCommandAttr(probe);
    EXPECT_EQ(SgCreateCommandAttr(std::string(64, 'y').c_str()), nullptr);
    EXPECT_EQ(TakeLogWithoutPoolDebug().size(), 2u);
}

TEST_F(CommandAttrsTest, RegistryDestroyDelaysDeletionOfAnAttributeAMessageHolds) {
    // A refused kind leaves the resolved attribute held by the message.
    SgMessage* held = ReceivedCommand("version", kKindSet);
    ASSERT_NE(held, nullptr);
    ASSERT_FALSE(SgExecuteCommand(held));
    SgCommandAttr* version = held->attribute;
    ASSERT_NE(version, nullptr);
    SgCommandAttr* second = SgFindCommandAttr("Version");
    TakeLogWithoutPoolDebug();

    SgShutdownWSCClient();
    SgShutdownCommandAttrs();
    const auto log = TakeLogWithoutPoolDebug();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(nvx_test::CountLines(log, SG_FAC_COMMS, SG_LVL_DEBUG,
                                   "SgDeleteCommandAttr: Delay deleting command attribute, Version"),
              1);
    EXPECT_EQ(version->deletePending, 1);

    const uint64_t before = BlocksInUse();
    SgReleaseCommandAttr(second);
    EXPECT_EQ(BlocksInUse(), before) << "still held by the message";
    EXPECT_EQ(version->referenceCount, 1u);
    SgDestroyMessage(held);
    EXPECT_EQ(BlocksInUse(), before - 2) << "the last release freed the attribute with the message";
    ASSERT_TRUE(SgInitCommandAttrs());  // for the fixture's teardown
}

TEST_F(CommandAttrsTest, InitClearsTheRouter) {
    SgShutdownWSCClient();
    SgShutdownCommandAttrs();
    ASSERT_TRUE(SgInitCommandAttrs());
    EXPECT_EQ(SgGetRouter(), nullptr) << "the channel sets it again when it comes up";
}

TEST_F(CommandAttrsTest, WscClientStartUpFailureLeavesNothing) {
    EXPECT_FALSE(SgInitWSCClient()) << "already initialised";
    SgShutdownWSCClient();
    SgShutdownCommandAttrs();
    ASSERT_TRUE(SgInitCommandAttrs());
    SgReleaseCommandAttr(SgCreateCommandAttr("VERSION"));
    TakeLogWithoutPoolDebug();
    const uint64_t before = BlocksInUse();
    EXPECT_FALSE(SgInitWSCClient());
    EXPECT_EQ(BlocksInUse(), before) << "table and buckets released";
    EXPECT_EQ(TakeLogWithoutPoolDebug().size(), 1u) << "the duplicate is logged once, by the registry";
}

}  // namespace
