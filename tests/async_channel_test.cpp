// The asynchronous driver channel in this process against the driver simulator: requests placed in
// the start-message queue, the replies the driver sends to them, a queue-full answer that keeps a
// request queued, and a port the driver closes under the running channel. The pending-request table
// is seen through the reply callback and the channel's log. Each test starts its own nvxdriver.exe
// (an instance of its own) and loads the fltlib.dll stand-in by path before the channel looks for
// fltlib.dll.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "comms/async_channel.h"
#include "comms/command_attrs.h"
#include "comms/wsc_client.h"
#include "runtime/debug_log.h"
#include "runtime/fault_seam_testing.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/threads.h"
#include "tests/support/log_capture.h"
#include "tests/support/sim_driver.h"

namespace {

using namespace nvx_wire;

constexpr DWORD kSettleMs = 5000;  // bound for anything that is expected to happen
constexpr uint32_t kRelayTarget = 12;

// The value of "key" in one journal line (a number, or a string without its quotes).
std::string Field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    size_t at = line.find(tag);
    if (at == std::string::npos) return {};
    at += tag.size();
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

struct Reply {
    uint32_t status;
    bool hasText;
    std::string text;
};

// What the channel hands to one request's callback, on its communications thread.
class ReplyLog {
public:
    static void Callback(uint32_t status, const char* text, void* context) {
        auto* self = static_cast<ReplyLog*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->replies_.push_back({status, text != nullptr, text != nullptr ? text : ""});
        self->changed_.notify_all();
    }

    // The replies so far, once there are at least `count` (or the bound has passed).
    std::vector<Reply> WaitFor(size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, std::chrono::milliseconds(kSettleMs), [&] { return replies_.size() >= count; });
        return replies_;
    }

    std::vector<Reply> Now() {
        std::lock_guard<std::mutex> guard(lock_);
        return replies_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Reply> replies_;
};

class AsyncChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fltlib_ = LoadLibraryW((nvx_test::SimBinDir() + L"\\fltlib.dll").c_str()); }

    void SetUp() override {
        ASSERT_NE(fltlib_, nullptr) << "LoadLibrary fltlib.dll stand-in: error " << GetLastError();
        ASSERT_NO_FATAL_FAILURE(driver_.Start());

        nvx_test::ClearLog();
        ASSERT_TRUE(SgInitOsSymbols());
        ++up_;
        ASSERT_TRUE(SgInitMemory());
        ++up_;
        ASSERT_TRUE(SgInitCommandAttrs());
        ASSERT_TRUE(SgInitWSCClient());
        ++up_;
        ASSERT_TRUE(SgInitAsyncComms()) << "the channel did not come up against the driver simulator";
        ++up_;
        ASSERT_TRUE(SgStartCommsThread());
    }

    void TearDown() override {
        if (up_ >= 4) {
            SgStopCommsThread();
            SgWaitCommsThreadEnd();
            SgShutdownAsyncComms();
        }
        if (up_ >= 3) {
            SgShutdownWSCClient();
            SgShutdownCommandAttrs();
        }
        if (up_ >= 2) {
            EXPECT_TRUE(SgShutdownMemory()) << "pool blocks left behind";
        }
        if (up_ >= 1) SgShutdownOsSymbols();
        driver_.Stop();
    }

    // ---- the driver

    // The driver sends a reply to request `id` of component 30.
    void DriverReplies(uint32_t id, const char* flags, const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"send", "--kind", "get", "--flags", flags, "--request-id", std::to_string(id)};
        args.insert(args.end(), {"--component", "30", "--source-component", std::to_string(kRelayTarget)});
        args.insert(args.end(), extra.begin(), extra.end());
        driver_.CtlOk(args);
    }

    // The channel handles one message at a time: once a VERSION sent after them is answered,
    // everything the driver sent before it has been handled. Its request ID is far from the
    // channel's own, which count from 1.
    void DriverWaitsForTheChannel() {
        nvx_test::CtlRun run =
            driver_.Ctl({"send", "--kind", "get", "--request-id", "4000000000", "--wait-reply", "5000", "VERSION"});
        ASSERT_EQ(run.code, 0u) << run.out;
        ASSERT_NE(run.out.find("\"text\":\"2.1.2\""), std::string::npos) << run.out;
    }

    // The driver's record of each connection to the asynchronous port and of each message the
    // service sent there without a request ID (its registrations), in order: context or bytes.
    std::vector<std::string> AsyncConnections() const {
        std::vector<std::string> found;
        for (const std::string& line : driver_.JournalLines()) {
            if (Field(line, "port") != "async") continue;
            const std::string event = Field(line, "event");
            if (event == "connect") found.push_back("connect " + Field(line, "context_hex"));
            if (event == "from_service" && Field(line, "request_id").empty())
                found.push_back("sent " + Field(line, "hex"));
        }
        return found;
    }

    // What the channel sent on the asynchronous port for these request IDs, in order.
    std::vector<std::string> SendsFor(const std::vector<uint32_t>& ids) const {
        std::vector<std::string> found;
        for (const std::string& line : driver_.JournalLines()) {
            if (Field(line, "event") != "from_service" || Field(line, "port") != "async") continue;
            for (uint32_t id : ids) {
                if (Field(line, "request_id") == std::to_string(id)) found.push_back(line);
            }
        }
        return found;
    }

    std::vector<std::string> WaitForSends(const std::vector<uint32_t>& ids, size_t count) const {
        std::vector<std::string> found = SendsFor(ids);
        for (DWORD waited = 0; found.size() < count && waited < kSettleMs; waited += 20) {
            Sleep(20);
            found = SendsFor(ids);
        }
        return found;
    }

    // ---- the service's side

    // Queues a Get request to component 12 carrying `text`; its ID.
    uint32_t Queue(const char* text, ReplyLog* replies) {
        const uint32_t length = static_cast<uint32_t>(strlen(text) + 1);
        SgMessage* m = SgCreateCommandMessage(kRelayTarget, length, kKindGet);
        EXPECT_NE(m, nullptr);
        if (m == nullptr) return 0;
        memcpy(m->payload, text, length);
        uint32_t id = 0;
        EXPECT_TRUE(SgQueueStartMessage(m, ReplyLog::Callback, replies, &id));
        return id;
    }

    // Lines the channel logged so far in this test.
    int Logged(uint32_t level, const std::string& text) {
        for (auto& line : nvx_test::TakeLog()) log_.push_back(std::move(line));
        return nvx_test::CountLines(log_, SG_FAC_COMMS, level, text);
    }

    static inline HMODULE fltlib_ = nullptr;
    nvx_test::SimDriver driver_{"chan"};
    int up_ = 0;
    std::vector<nvx_test::LogLine> log_;
};

TEST_F(AsyncChannelTest, AQueuedRequestIsSentOnTheNextPassAndKeptUntilItsFinalReply) {
    ReplyLog replies;
    const uint32_t id = Queue("STATUS now", &replies);
    ASSERT_NE(id, 0u);
    // A message from the driver ends the thread's wait: the pass that follows drains the queue.
    driver_.CtlOk({"event", "wake"});
    std::vector<std::string> sent = WaitForSends({id}, 1);
    ASSERT_EQ(sent.size(), 1u) << driver_.Journal();
    EXPECT_EQ(Field(sent[0], "status"), "0x00000000");
    EXPECT_EQ(Field(sent[0], "flags"), "0x01");
    EXPECT_EQ(Field(sent[0], "source_component"), "30");
    EXPECT_EQ(Field(sent[0], "destination_component"), std::to_string(kRelayTarget));
    EXPECT_EQ(Field(sent[0], "source_pid") + "/" + Field(sent[0], "source_key"), "0/0");
    EXPECT_EQ(Field(sent[0], "text"), "STATUS now");
    EXPECT_TRUE(replies.Now().empty());

    DriverReplies(id, "0x02", {"first", "part"});
    std::vector<Reply> got = replies.WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, kCommSuccess);
    EXPECT_EQ(got[0].text, "first part");

    // Still pending after the non-final reply: the final one reaches it too, and ends it.
    DriverReplies(id, "0x06", {"done"});
    got = replies.WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].status, kCommSuccess);
    EXPECT_EQ(got[1].text, "done");

    DriverReplies(id, "0x06", {"late"});
    DriverWaitsForTheChannel();
    EXPECT_EQ(replies.Now().size(), 2u) << "a reply after the final one reached the callback";
    EXPECT_EQ(Logged(SG_LVL_DEBUG, "Received command reply"), 3);
    EXPECT_EQ(SendsFor({id}).size(), 1u) << "the request was sent again";
}

TEST_F(AsyncChannelTest, AReplyWithoutItsFinalNulReachesTheCallbackAsInvalid) {
    ReplyLog replies;
    const uint32_t id = Queue("STATUS", &replies);
    driver_.CtlOk({"event", "wake"});
    ASSERT_EQ(WaitForSends({id}, 1).size(), 1u) << driver_.Journal();

    DriverReplies(id, "0x02", {"--no-nul", "abc"});
    DriverReplies(id, "0x06", {"ok"});
    std::vector<Reply> got = replies.WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].status, kCommInvalidMessage);
    EXPECT_FALSE(got[0].hasText);
    EXPECT_EQ(got[1].status, kCommSuccess);
    EXPECT_EQ(got[1].text, "ok");
    EXPECT_EQ(Logged(SG_LVL_DEBUG, "Command reply is not valid"), 1);
}

TEST_F(AsyncChannelTest, AQueueFullAnswerKeepsTheRequestQueuedForALaterPass) {
    driver_.CtlOk({"queue-full", "1"});
    ReplyLog firstReplies, secondReplies;
    const uint32_t first = Queue("FIRST", &firstReplies);
    const uint32_t second = Queue("SECOND", &secondReplies);
    driver_.CtlOk({"event", "wake"});

    // The refused request waits for the next pass; the one behind it goes in this one.
    std::vector<std::string> sent = WaitForSends({first, second}, 3);
    ASSERT_EQ(sent.size(), 3u) << driver_.Journal();
    std::vector<std::string> seen;
    for (const auto& line : sent) seen.push_back(Field(line, "request_id") + " " + Field(line, "status"));
    EXPECT_EQ(seen,
              (std::vector<std::string>{std::to_string(first) + " 0xE0020009", std::to_string(second) + " 0x00000000",
                                        std::to_string(first) + " 0x00000000"}));
    EXPECT_EQ(Logged(SG_LVL_ERROR, "Failure sending start message: destination queue full"), 1);

    // Both are pending, each with its own callback.
    DriverReplies(second, "0x06", {"second done"});
    DriverReplies(first, "0x06", {"first done"});
    ASSERT_EQ(firstReplies.WaitFor(1).size(), 1u);
    ASSERT_EQ(secondReplies.WaitFor(1).size(), 1u);
    EXPECT_EQ(firstReplies.Now()[0].text, "first done");
    EXPECT_EQ(secondReplies.Now()[0].text, "second done");
}

DWORD WINAPI NeverRuns(LPVOID) { return 0; }

TEST_F(AsyncChannelTest, APortTheDriverClosesEndsTheThreadWakesTheWatcherAndTheChannelComesBackAsNew) {
    // The service's main loop stands in as an object that is only woken, never run.
    SgThread* watcher = SgCreateThread(NeverRuns, nullptr, 0);
    ASSERT_NE(watcher, nullptr);
    SgWatchAsyncChannelLoss(watcher);
    EXPECT_FALSE(SgAsyncChannelLost());
    const std::vector<std::string> first = AsyncConnections();
    ASSERT_EQ(first.size(), 2u) << driver_.Journal();

    driver_.CtlOk({"disconnect", "--port", "async"});
    const DWORD woken = WaitForSingleObject(watcher->os->wakeEvent, kSettleMs);
    const DWORD ended = WaitForSingleObject(SgGetCommsThread()->os->threadHandle, kSettleMs);
    SgWatchAsyncChannelLoss(nullptr);
    SgDestroyAndFreeThread(&watcher);
    ASSERT_EQ(woken, static_cast<DWORD>(WAIT_OBJECT_0)) << "the watcher was not woken";
    ASSERT_EQ(ended, static_cast<DWORD>(WAIT_OBJECT_0)) << "the thread did not end by itself";
    EXPECT_TRUE(SgAsyncChannelLost());
    EXPECT_EQ(Logged(SG_LVL_WARNING, "The driver closed its communications port"), 1);
    EXPECT_EQ(Logged(SG_LVL_DEBUG, "[0] Communications thread ending"), 1);

    // Released and initialised again, the channel connects and registers as it did the first
    // time, and answers.
    SgShutdownAsyncComms();
    EXPECT_FALSE(SgAsyncChannelLost());
    ASSERT_TRUE(SgInitAsyncComms());
    ASSERT_TRUE(SgStartCommsThread());
    DriverWaitsForTheChannel();
    std::vector<std::string> both = AsyncConnections();
    ASSERT_EQ(both.size(), 4u) << driver_.Journal();
    EXPECT_EQ(std::vector<std::string>(both.begin() + 2, both.end()), first);
    EXPECT_FALSE(SgAsyncChannelLost());
}

TEST_F(AsyncChannelTest, ASendCountsOnlyWhenItReturnsSOkWithExactlyFourBytes) {
    // A short answer, none at all, a failing HRESULT and a success code other than S_OK.
    const std::vector<std::vector<std::string>> answers = {
        {"--length", "3"}, {"--length", "0"}, {"--hresult", "0x80004005"}, {"--hresult", "1"}};
    for (const auto& options : answers) {
        std::vector<std::string> args = {"answer", "0", "1"};
        args.insert(args.end(), options.begin(), options.end());
        driver_.CtlOk(args);
        ReplyLog replies;
        const uint32_t id = Queue("STATUS", &replies);
        driver_.CtlOk({"event", "wake"});
        ASSERT_EQ(WaitForSends({id}, 1).size(), 1u) << driver_.Journal();
        // Not delivered, so not pending: a reply to it reaches no callback.
        DriverReplies(id, "0x06", {"late"});
        DriverWaitsForTheChannel();
        EXPECT_TRUE(replies.Now().empty()) << options[0] << " " << options[1];
        EXPECT_EQ(SendsFor({id}).size(), 1u) << "a general failure is not retried";
    }
    EXPECT_EQ(Logged(SG_LVL_ERROR, "Unable to send queued start message"), static_cast<int>(answers.size()));
}

TEST_F(AsyncChannelTest, AFailedRegistrationClosesItsPortAndTheNextInitialisationConnects) {
    SgStopCommsThread();
    SgWaitCommsThreadEnd();
    SgShutdownAsyncComms();
    driver_.CtlOk({"answer", "0", "1", "--hresult", "0x80004005"});
    EXPECT_FALSE(SgInitAsyncComms());
    EXPECT_FALSE(SgCommsThreadExists());
    EXPECT_EQ(Logged(SG_LVL_ERROR, "Unable to send a registration message (0xE0020001)"), 1);
    EXPECT_EQ(Logged(SG_LVL_DEBUG, "Registration failed"), 1);

    ASSERT_TRUE(SgInitAsyncComms());
    ASSERT_TRUE(SgStartCommsThread());
    DriverWaitsForTheChannel();
    // Three connections on the asynchronous port: the service closed the first at its shutdown
    // and the second as soon as its registration failed; the third is open.
    std::vector<std::string> connected, closed;
    for (DWORD waited = 0; waited <= kSettleMs; waited += 20) {
        connected.clear();
        closed.clear();
        for (const std::string& line : driver_.JournalLines()) {
            if (Field(line, "port") != "async") continue;
            if (Field(line, "event") == "connect") connected.push_back(Field(line, "conn"));
            if (Field(line, "event") == "disconnect") closed.push_back(Field(line, "conn") + " " + Field(line, "by"));
        }
        if (closed.size() >= 2) break;
        Sleep(20);
    }
    ASSERT_EQ(connected.size(), 3u) << driver_.Journal();
    std::sort(closed.begin(), closed.end());
    std::vector<std::string> expected = {connected[0] + " service", connected[1] + " service"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(closed, expected) << driver_.Journal();
}

TEST_F(AsyncChannelTest, ACompletionWaitThatFailsLeavesTheOutstandingReceiveToTheNextPass) {
    // Once a pass waits on the completion port, its receive has been issued.
    const uint64_t started = SgFaultCalls(SG_FAULT_COMPLETION_WAIT);
    for (DWORD waited = 0; SgFaultCalls(SG_FAULT_COMPLETION_WAIT) == started && waited < kSettleMs; waited += 20) {
        Sleep(20);
    }
    const uint64_t receives = SgFaultCalls(SG_FAULT_FLT_GET);
    const uint64_t waits = SgFaultCalls(SG_FAULT_COMPLETION_WAIT);
    ASSERT_GT(waits, started);
    SgFaultArmNext(SG_FAULT_COMPLETION_WAIT, 1, ERROR_NOT_ENOUGH_MEMORY);
    // Two more passes after the failed wait: each waits again for the same receive.
    for (DWORD waited = 0; SgFaultCalls(SG_FAULT_COMPLETION_WAIT) < waits + 3 && waited < 3 * kSettleMs; waited += 20) {
        Sleep(20);
    }
    SgFaultDisarmAll();
    ASSERT_GE(SgFaultCalls(SG_FAULT_COMPLETION_WAIT), waits + 3);
    EXPECT_EQ(SgFaultFailures(SG_FAULT_COMPLETION_WAIT), 1u);
    EXPECT_EQ(Logged(SG_LVL_ERROR, "[0] Error receiving message - error 8"), 1);
    EXPECT_EQ(SgFaultCalls(SG_FAULT_FLT_GET), receives) << "a second receive was issued into the same buffer";
    // The receive that stayed outstanding is the one that takes the next message.
    DriverWaitsForTheChannel();
}

}  // namespace
