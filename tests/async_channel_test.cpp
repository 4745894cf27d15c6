// The asynchronous driver channel in this process against the driver simulator: requests placed in
// the start-message queue, the replies the driver sends to them, and a queue-full answer that keeps
// a request queued. The pending-request table is seen through the reply callback and the channel's
// log. Each test starts its own nvxdriver.exe (an instance of its own) and loads the fltlib.dll
// stand-in by path before the channel looks for fltlib.dll.
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "comms/async_channel.h"
#include "comms/command_attrs.h"
#include "comms/wsc_client.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "tests/support/log_capture.h"

#ifndef NVX_SIM_BIN_DIR
#error "NVX_SIM_BIN_DIR must name the directory of nvxdriver.exe and fltlib.dll"
#endif

namespace {

using namespace nvx_wire;

constexpr DWORD kSettleMs = 5000;  // bound for anything that is expected to happen
constexpr uint32_t kRelayTarget = 12;

// The build directory as a Windows path: a host path is reached through drive Z:.
std::wstring SimDir() {
    std::string dir = NVX_SIM_BIN_DIR;
    if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;
    for (char& c : dir) {
        if (c == '/') c = '\\';
    }
    return std::wstring(dir.begin(), dir.end());
}

std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    for (char c : arg) out += c == '"' ? std::string("\\\"") : std::string(1, c);
    return out + "\"";
}

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

struct CtlRun {
    DWORD code = 0;
    std::string out;
};

class AsyncChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fltlib_ = LoadLibraryW((SimDir() + L"\\fltlib.dll").c_str()); }

    void SetUp() override {
        ASSERT_NE(fltlib_, nullptr) << "LoadLibrary fltlib.dll stand-in: error " << GetLastError();
        static int counter = 0;
        instance_ = "chan" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        SetEnvironmentVariableW(L"NVXSIM_DRIVER_INSTANCE", std::wstring(instance_.begin(), instance_.end()).c_str());
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        journal_ = std::wstring(temp) + L"nvxdriver-" + std::wstring(instance_.begin(), instance_.end()) + L".jsonl";
        DeleteFileW(journal_.c_str());
        // Whatever this process leaves running ends with it.
        job_ = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        ASSERT_NO_FATAL_FAILURE(StartDriver());

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
        StopDriver();
        if (job_ != nullptr) CloseHandle(job_);
        DeleteFileW(journal_.c_str());
    }

    // ---- the driver

    HANDLE Spawn(const std::vector<std::string>& args, HANDLE* output) {
        const std::wstring dir = SimDir();
        std::string line = "\"" + std::string(dir.begin(), dir.end()) + "\\nvxdriver.exe\"";
        for (const auto& arg : args) line += " " + Quoted(arg);
        std::wstring wline(line.begin(), line.end());
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!CreatePipe(&read, &write, &inherit, 0)) return nullptr;
        SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = write;
        si.hStdError = write;
        PROCESS_INFORMATION pi{};
        BOOL ok =
            CreateProcessW(nullptr, wline.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
        CloseHandle(write);
        if (!ok) {
            CloseHandle(read);
            return nullptr;
        }
        AssignProcessToJobObject(job_, pi.hProcess);
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);
        *output = read;
        return pi.hProcess;
    }

    // Starts the driver and waits for its "ready" line.
    void StartDriver() {
        HANDLE output;
        driver_ = Spawn({"serve", "--instance", instance_, "--journal", std::string(journal_.begin(), journal_.end())},
                        &output);
        ASSERT_NE(driver_, nullptr) << "nvxdriver.exe did not start: error " << GetLastError();
        std::string text;
        char chunk[256];
        DWORD got;
        while (text.find('\n') == std::string::npos && ReadFile(output, chunk, sizeof chunk, &got, nullptr) && got) {
            text.append(chunk, got);
        }
        CloseHandle(output);  // later output of the driver goes nowhere
        ASSERT_NE(text.find("\"event\":\"ready\""), std::string::npos) << text;
    }

    void StopDriver() {
        if (driver_ == nullptr) return;
        if (WaitForSingleObject(driver_, 0) == WAIT_TIMEOUT) {
            Ctl({"unload"});
            if (WaitForSingleObject(driver_, kSettleMs) != WAIT_OBJECT_0) TerminateProcess(driver_, 1);
            WaitForSingleObject(driver_, kSettleMs);
        }
        CloseHandle(driver_);
        driver_ = nullptr;
    }

    CtlRun Ctl(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"ctl", "--instance", instance_};
        all.insert(all.end(), args.begin(), args.end());
        HANDLE output;
        HANDLE process = Spawn(all, &output);
        if (process == nullptr) return {255, "ctl did not start"};
        CtlRun run;
        char chunk[4096];
        DWORD got;
        while (ReadFile(output, chunk, sizeof chunk, &got, nullptr) && got) run.out.append(chunk, got);
        WaitForSingleObject(process, INFINITE);
        GetExitCodeProcess(process, &run.code);
        CloseHandle(output);
        CloseHandle(process);
        return run;
    }

    void CtlOk(const std::vector<std::string>& args) {
        CtlRun run = Ctl(args);
        ASSERT_EQ(run.code, 0u) << args[0] << ": " << run.out;
    }

    // The driver sends a reply to request `id` of component 30.
    void DriverReplies(uint32_t id, const char* flags, const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"send", "--kind", "get", "--flags", flags, "--request-id", std::to_string(id)};
        args.insert(args.end(), {"--component", "30", "--source-component", std::to_string(kRelayTarget)});
        args.insert(args.end(), extra.begin(), extra.end());
        CtlOk(args);
    }

    // The channel handles one message at a time: once a VERSION sent after them is answered,
    // everything the driver sent before it has been handled. Its request ID is far from the
    // channel's own, which count from 1.
    void DriverWaitsForTheChannel() {
        CtlRun run = Ctl({"send", "--kind", "get", "--request-id", "4000000000", "--wait-reply", "5000", "VERSION"});
        ASSERT_EQ(run.code, 0u) << run.out;
        ASSERT_NE(run.out.find("\"text\":\"2.1.2\""), std::string::npos) << run.out;
    }

    std::string Journal() const {
        HANDLE file =
            CreateFileW(journal_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return {};
        std::string text;
        char chunk[65536];
        DWORD got;
        while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) text.append(chunk, got);
        CloseHandle(file);
        return text;
    }

    // What the channel sent on the asynchronous port for these request IDs, in order.
    std::vector<std::string> SendsFor(const std::vector<uint32_t>& ids) const {
        std::vector<std::string> found;
        const std::string text = Journal();
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = text.substr(start, end - start);
            if (Field(line, "event") != "send" || Field(line, "port") != "async") continue;
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
    std::string instance_;
    std::wstring journal_;
    HANDLE job_ = nullptr;
    HANDLE driver_ = nullptr;
    int up_ = 0;
    std::vector<nvx_test::LogLine> log_;
};

TEST_F(AsyncChannelTest, AQueuedRequestIsSentOnTheNextPassAndKeptUntilItsFinalReply) {
    ReplyLog replies;
    const uint32_t id = Queue("STATUS now", &replies);
    ASSERT_NE(id, 0u);
    // A message from the driver ends the thread's wait: the pass that follows drains the queue.
    CtlOk({"event", "wake"});
    std::vector<std::string> sent = WaitForSends({id}, 1);
    ASSERT_EQ(sent.size(), 1u) << Journal();
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
    CtlOk({"event", "wake"});
    ASSERT_EQ(WaitForSends({id}, 1).size(), 1u) << Journal();

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
    CtlOk({"queue-full", "1"});
    ReplyLog firstReplies, secondReplies;
    const uint32_t first = Queue("FIRST", &firstReplies);
    const uint32_t second = Queue("SECOND", &secondReplies);
    CtlOk({"event", "wake"});

    // The refused request waits for the next pass; the one behind it goes in this one.
    std::vector<std::string> sent = WaitForSends({first, second}, 3);
    ASSERT_EQ(sent.size(), 3u) << Journal();
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

}  // namespace
