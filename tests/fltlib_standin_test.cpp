// The simulated machine's fltlib.dll against its driver simulator: the port behaviour the
// service's channels are built on. Each test starts its own nvxdriver.exe (an instance of its
// own, so tests may run side by side) and loads the stand-in by path, as Wine would load it from
// the service's directory.
#include <windows.h>

#include <fltuser.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "comms/wire_format.h"
#include "tests/support/sim_driver.h"

namespace w = nvx_wire;

namespace {

constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0x80070006);
constexpr HRESULT kInsufficientBuffer = static_cast<HRESULT>(0x8007007A);
constexpr HRESULT kIoPending = static_cast<HRESULT>(0x800703E5);
constexpr HRESULT kNoWaiterForReply = static_cast<HRESULT>(0x801F0020);
constexpr DWORD kReceiveSize = 0x40010;  // FILTER_MESSAGE_HEADER + the largest message
constexpr DWORD kSettleMs = 5000;        // bound for anything that is expected to happen

using ConnectFn = HRESULT(WINAPI*)(LPCWSTR, DWORD, LPCVOID, WORD, LPSECURITY_ATTRIBUTES, HANDLE*);
using SendFn = HRESULT(WINAPI*)(HANDLE, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);
using GetFn = HRESULT(WINAPI*)(HANDLE, PFILTER_MESSAGE_HEADER, DWORD, LPOVERLAPPED);
using ReplyFn = HRESULT(WINAPI*)(HANDLE, PFILTER_REPLY_HEADER, DWORD);
using MarkerFn = const char*(WINAPI*)();

using nvx_test::Export;

std::vector<uint8_t> RegRequest(uint8_t tag, uint8_t marker, uint32_t component) {
    w::RegRequestMsg m{};
    m.header = {w::kHeaderVersion, 0, w::kTypeRegRequest, tag, w::kRegRequestSize};
    m.bodyVersion = w::kBodyVersion;
    m.contextMarker = marker;
    m.componentId = component;
    std::vector<uint8_t> out(sizeof m);
    memcpy(out.data(), &m, sizeof m);
    return out;
}

std::vector<uint8_t> Command(uint8_t flags, uint32_t requestId, uint32_t destination, const std::string& text) {
    w::CommandMsg m{};
    m.header = {w::kHeaderVersion, 0, w::kTypeCommand, w::kTagCommand,
                static_cast<uint32_t>(sizeof m + text.size() + 1)};
    m.bodyVersion = w::kBodyVersion;
    m.flags = flags;
    m.kind = w::kKindGet;
    m.payloadFormat = w::kPayloadText;
    m.requestId = requestId;
    m.sourceComponentId = w::kServiceComponentId;
    m.destinationComponentId = destination;
    std::vector<uint8_t> out(sizeof m + text.size() + 1);
    memcpy(out.data(), &m, sizeof m);
    memcpy(out.data() + sizeof m, text.c_str(), text.size() + 1);
    return out;
}

class FltPortTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryW((nvx_test::SimBinDir() + L"\\fltlib.dll").c_str());
        ASSERT_NE(module_, nullptr) << "LoadLibrary fltlib.dll: error " << GetLastError();
        connect_ = Export<ConnectFn>(module_, "FilterConnectCommunicationPort");
        send_ = Export<SendFn>(module_, "FilterSendMessage");
        get_ = Export<GetFn>(module_, "FilterGetMessage");
        reply_ = Export<ReplyFn>(module_, "FilterReplyMessage");
        marker_ = Export<MarkerFn>(module_, "NvxSimFltlibStandIn");
    }

    void SetUp() override {
        ASSERT_TRUE(connect_ && send_ && get_ && reply_ && marker_) << "the stand-in's exports are incomplete";
    }

    void TearDown() override {
        for (HANDLE h : ports_) CloseHandle(h);
        for (HANDLE h : completions_) CloseHandle(h);
        driver_.Stop();
    }

    // ---- the driver

    // The journal's lines that contain every one of `parts`.
    std::vector<std::string> Records(const std::vector<std::string>& parts) const {
        std::vector<std::string> found;
        for (const std::string& line : driver_.JournalLines()) {
            bool all = true;
            for (const auto& part : parts) all = all && line.find(part) != std::string::npos;
            if (all) found.push_back(line);
        }
        return found;
    }

    // ---- the port calls

    HRESULT Connect(const wchar_t* name, const std::vector<uint8_t>& context, HANDLE* port, DWORD options = 0) {
        HRESULT hr = connect_(name, options, context.empty() ? nullptr : context.data(),
                              static_cast<WORD>(context.size()), nullptr, port);
        if (SUCCEEDED(hr)) ports_.push_back(*port);
        return hr;
    }

    // The asynchronous port as the service opens it: context, completion port with key 0.
    void OpenAsync(HANDLE* port, HANDLE* completion) {
        ASSERT_EQ(Connect(w::kAsyncPortName, RegRequest(w::kTagContext, 1, w::kServiceComponentId), port), S_OK);
        *completion = CreateIoCompletionPort(*port, nullptr, 0, 2);
        ASSERT_NE(*completion, nullptr) << "CreateIoCompletionPort on the port: error " << GetLastError();
        completions_.push_back(*completion);
    }

    void ClosePort(HANDLE port) {
        for (auto it = ports_.begin(); it != ports_.end(); ++it) {
            if (*it == port) {
                ports_.erase(it);
                break;
            }
        }
        CloseHandle(port);
    }

    // Sends on the asynchronous port as the service does: a 4-byte status comes back.
    HRESULT Send(HANDLE port, std::vector<uint8_t> message, uint32_t* status, DWORD* returned) {
        *status = 0xFFFFFFFF;
        return send_(port, message.data(), static_cast<DWORD>(message.size()), status, sizeof *status, returned);
    }

    struct Completion {
        BOOL ok;
        DWORD error;
        DWORD bytes;
        ULONG_PTR key;
        OVERLAPPED* overlapped;
    };

    static Completion Wait(HANDLE completion, DWORD ms) {
        Completion c{};
        c.ok = GetQueuedCompletionStatus(completion, &c.bytes, &c.key, &c.overlapped, ms);
        c.error = c.ok ? 0 : GetLastError();
        return c;
    }

    // The receive buffer of the service: header + message, then its OVERLAPPED.
    struct Receive {
        std::vector<uint8_t> buffer = std::vector<uint8_t>(kReceiveSize);
        OVERLAPPED ov{};
        FILTER_MESSAGE_HEADER* header() { return reinterpret_cast<FILTER_MESSAGE_HEADER*>(buffer.data()); }
        const uint8_t* message() const { return buffer.data() + sizeof(FILTER_MESSAGE_HEADER); }
    };

    HRESULT Get(HANDLE port, Receive& r) {
        memset(&r.ov, 0, sizeof r.ov);
        return get_(port, r.header(), kReceiveSize, &r.ov);
    }

    static inline HMODULE module_ = nullptr;
    static inline ConnectFn connect_ = nullptr;
    static inline SendFn send_ = nullptr;
    static inline GetFn get_ = nullptr;
    static inline ReplyFn reply_ = nullptr;
    static inline MarkerFn marker_ = nullptr;

    nvx_test::SimDriver driver_{"gtest"};
    std::vector<HANDLE> ports_;
    std::vector<HANDLE> completions_;
};

TEST_F(FltPortTest, AMissingPortAnswersFileNotFoundUntilTheDriverOpensIt) {
    HANDLE port = nullptr;
    // No driver at all.
    EXPECT_EQ(Connect(w::kAsyncPortName, RegRequest(w::kTagContext, 1, w::kServiceComponentId), &port), kFileNotFound);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Connect(w::kSyncPortName, {}, &port), kFileNotFound);

    // A driver that is loaded but has not created its ports yet.
    driver_.Start({"--ports-closed"});
    EXPECT_EQ(Connect(w::kAsyncPortName, RegRequest(w::kTagContext, 1, w::kServiceComponentId), &port), kFileNotFound);
    EXPECT_EQ(Connect(w::kSyncPortName, {}, &port), kFileNotFound);
    EXPECT_TRUE(Records({"\"event\":\"connect\""}).empty());

    driver_.CtlOk({"open-ports"});
    EXPECT_EQ(Connect(w::kAsyncPortName, RegRequest(w::kTagContext, 1, w::kServiceComponentId), &port), S_OK);
    EXPECT_EQ(Connect(w::kSyncPortName, {}, &port), S_OK);
    // A port the driver does not have.
    EXPECT_EQ(Connect(L"\\KestroVantorNoSuchPort", {}, &port), kFileNotFound);
}

// What the service never sends (an output buffer too small, a malformed synchronous request, a
// reply message) and the synchronous reply's contents, which the service does not look at.
TEST_F(FltPortTest, SendsAreAnsweredAsTheDriverAnswersThem) {
    driver_.Start();
    HANDLE async, sync;
    ASSERT_EQ(Connect(w::kAsyncPortName, RegRequest(w::kTagContext, 1, w::kServiceComponentId), &async), S_OK);
    ASSERT_EQ(Connect(w::kSyncPortName, {}, &sync), S_OK);

    // The asynchronous port: exactly 4 bytes of status, refused when they do not fit.
    std::vector<uint8_t> reg = RegRequest(w::kTagRegRequest, 0, w::kServiceComponentId);
    uint32_t status;
    DWORD returned = 99;
    EXPECT_EQ(Send(async, reg, &status, &returned), S_OK);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(status, 0u);
    uint16_t small = 0;
    EXPECT_EQ(send_(async, reg.data(), 16, &small, sizeof small, &returned), kInsufficientBuffer);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Records({"\"event\":\"from_service\"", "\"hresult\":\"0x8007007A\""}).size(), 1u);

    // The synchronous port's one request: a 32-byte SyncReplyMsg, status 0 for a well-formed one.
    w::SyncRequestMsg request{};
    request.header = {w::kHeaderVersion, 0, w::kTypeSyncRequest, w::kTagSyncRequest, w::kSyncRequestSize};
    request.field8 = request.field9 = 1;
    request.field12 = 16;
    request.field16 = 1;
    request.processId = GetCurrentProcessId();
    request.blockAddress = 0x12340000;
    w::SyncReplyMsg reply;
    memset(&reply, 0xCC, sizeof reply);
    ASSERT_EQ(send_(sync, &request, sizeof request, &reply, sizeof reply, &returned), S_OK);
    EXPECT_EQ(returned, 32u);
    EXPECT_EQ(reply.version, 1);
    EXPECT_EQ(reply.type, 1);
    EXPECT_EQ(reply.size, 32u);
    EXPECT_EQ(reply.status, 0u);
    EXPECT_EQ(reply.field12, 16u);
    request.header.size = 47;
    ASSERT_EQ(send_(sync, &request, sizeof request, &reply, sizeof reply, &returned), S_OK);
    EXPECT_EQ(reply.status, w::kCommInvalidMessage);
    EXPECT_EQ(reply.field12, 0u);

    // Nothing the driver sends waits for a reply message.
    FILTER_REPLY_HEADER replyHeader{};
    EXPECT_EQ(reply_(async, &replyHeader, sizeof replyHeader), kNoWaiterForReply);
    EXPECT_EQ(Records({"\"event\":\"reply-message\""}).size(), 1u);
}

TEST_F(FltPortTest, AReceivePendsAndCompletesWithHeaderAndMessage) {
    driver_.Start();
    HANDLE port, completion;
    OpenAsync(&port, &completion);
    Receive r;

    ASSERT_EQ(Get(port, r), kIoPending);
    // Sends go over a pipe of their own: they leave the outstanding receive alone ...
    uint32_t status;
    DWORD returned;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Send(port, Command(0x06, 100 + i, 12, "Success"), &status, &returned), S_OK);
        EXPECT_EQ(returned, 4u);
        EXPECT_EQ(status, 0u);
    }
    // ... and so does a wait that times out ...
    Completion c = Wait(completion, 200);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(c.overlapped, nullptr) << "a send or the timeout completed the receive";
    // ... and a later message completes that same receive.
    driver_.CtlOk({"send", "--kind", "get", "--request-id", "77", "--source-component", "12", "--pid", "4242", "--key",
                   "9", "VERSION"});
    c = Wait(completion, kSettleMs);
    ASSERT_TRUE(c.ok) << "error " << c.error;
    EXPECT_EQ(c.overlapped, &r.ov);
    EXPECT_EQ(c.key, 0u);
    EXPECT_EQ(c.bytes, 16u + 56u + 8u);
    EXPECT_EQ(r.header()->ReplyLength, 0u);
    w::CommandMsg m;
    memcpy(&m, r.message(), sizeof m);
    EXPECT_EQ(m.header.version, 1);
    EXPECT_EQ(m.header.type, w::kTypeCommand);
    EXPECT_EQ(m.header.tag, w::kTagCommand);
    EXPECT_EQ(m.header.size, 64u);
    EXPECT_EQ(m.bodyVersion, 1);
    EXPECT_EQ(m.flags, w::kFlagRequest | w::kFlagFinal);
    EXPECT_EQ(m.kind, w::kKindGet);
    EXPECT_EQ(m.payloadFormat, w::kPayloadText);
    EXPECT_EQ(m.requestId, 77u);
    EXPECT_EQ(m.sourceComponentId, 12u);
    EXPECT_EQ(m.destinationComponentId, 30u);
    EXPECT_EQ(m.sourceProcessId, 4242u);
    EXPECT_EQ(m.sourceProcessKey, 9u);
    EXPECT_EQ(memcmp(r.message() + 56, "VERSION", 8), 0);
    EXPECT_EQ(Records({"\"event\":\"to_service\"", "\"request_id\":77"}).size(), 1u);

    // Messages that arrive before the receive wait for it, each whole and in order, and the
    // receive still answers "pending" and completes through the completion port.
    driver_.CtlOk({"event", "HELLO"});
    driver_.CtlOk({"reg", "--component", "7"});
    ASSERT_EQ(Get(port, r), kIoPending);
    c = Wait(completion, kSettleMs);
    ASSERT_TRUE(c.ok) << "error " << c.error;
    EXPECT_EQ(c.bytes, 16u + 12u + 6u);
    EXPECT_EQ(r.message()[2], w::kTypeEvent);
    EXPECT_EQ(memcmp(r.message() + 12, "HELLO", 6), 0);
    ASSERT_EQ(Get(port, r), kIoPending);
    c = Wait(completion, kSettleMs);
    ASSERT_TRUE(c.ok) << "error " << c.error;
    EXPECT_EQ(c.bytes, 16u + 16u);
    w::RegRequestMsg reg;
    memcpy(&reg, r.message(), sizeof reg);
    EXPECT_EQ(reg.header.type, w::kTypeRegRequest);
    EXPECT_EQ(reg.header.tag, w::kTagRegRequest);
    EXPECT_EQ(reg.componentId, 7u);
    EXPECT_EQ(reg.contextMarker, 0);

    // Any bytes go out as one message, malformed or not.
    driver_.CtlOk({"raw", "02 00 05 64 09 00 00 00 ff"});
    ASSERT_EQ(Get(port, r), kIoPending);
    c = Wait(completion, kSettleMs);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.bytes, 16u + 9u);
    EXPECT_EQ(r.message()[0], 2);
    EXPECT_EQ(r.message()[8], 0xFF);
}

TEST_F(FltPortTest, CancelCompletesTheReceiveWithAbortedAndThePortStaysUsable) {
    driver_.Start();
    HANDLE port, completion;
    OpenAsync(&port, &completion);
    Receive r;
    ASSERT_EQ(Get(port, r), kIoPending);
    EXPECT_EQ(Wait(completion, 100).error, static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(CancelIoEx(port, nullptr));
    Completion c = Wait(completion, kSettleMs);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(c.overlapped, &r.ov);

    ASSERT_EQ(Get(port, r), kIoPending);
    driver_.CtlOk({"send", "--request-id", "5", "X"});
    c = Wait(completion, kSettleMs);
    ASSERT_TRUE(c.ok) << "error " << c.error;
    EXPECT_EQ(c.bytes, 16u + 56u + 2u);
}

TEST_F(FltPortTest, ADriverThatDisconnectsBreaksThePort) {
    driver_.Start();
    HANDLE port, completion, sync;
    OpenAsync(&port, &completion);
    ASSERT_EQ(Connect(w::kSyncPortName, {}, &sync), S_OK);
    Receive r;
    ASSERT_EQ(Get(port, r), kIoPending);

    nvx_test::CtlRun run = driver_.Ctl({"disconnect"});
    ASSERT_EQ(run.code, 0u) << run.out;
    EXPECT_NE(run.out.find("\"connections\":2"), std::string::npos) << run.out;
    Completion c = Wait(completion, kSettleMs);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(c.overlapped, &r.ov);
    // From now on the port is a handle that vanished.
    EXPECT_EQ(Get(port, r), kInvalidHandle);
    uint32_t status;
    DWORD returned;
    EXPECT_EQ(Send(port, RegRequest(w::kTagRegRequest, 0, 30), &status, &returned), kInvalidHandle);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Send(sync, RegRequest(w::kTagRegRequest, 0, 30), &status, &returned), kInvalidHandle);
    EXPECT_EQ(Records({"\"event\":\"disconnect\"", "\"by\":\"driver\""}).size(), 2u);
    // No stray completion followed the failed calls.
    EXPECT_EQ(Wait(completion, 100).error, static_cast<DWORD>(WAIT_TIMEOUT));

    // The ports themselves stay: a new connection works.
    HANDLE again, againCompletion;
    OpenAsync(&again, &againCompletion);
    EXPECT_EQ(Send(again, RegRequest(w::kTagRegRequest, 0, 30), &status, &returned), S_OK);
}

TEST_F(FltPortTest, AnUnloadedDriverBreaksThePortAndTakesItsPortsAlong) {
    driver_.Start();
    HANDLE port, completion;
    OpenAsync(&port, &completion);
    Receive r;
    ASSERT_EQ(Get(port, r), kIoPending);

    driver_.CtlOk({"unload"});
    ASSERT_EQ(WaitForSingleObject(driver_.Process(), kSettleMs), WAIT_OBJECT_0);
    Completion c = Wait(completion, kSettleMs);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(Get(port, r), kInvalidHandle);
    uint32_t status;
    DWORD returned;
    EXPECT_EQ(Send(port, RegRequest(w::kTagRegRequest, 0, 30), &status, &returned), kInvalidHandle);
    HANDLE again;
    EXPECT_EQ(Connect(w::kAsyncPortName, RegRequest(w::kTagContext, 1, 30), &again), kFileNotFound);
    EXPECT_EQ(driver_.Ctl({"status"}).code, 3u) << "ctl must report a driver that is not running";
}

TEST_F(FltPortTest, ASendWaitingForRepliesCollectsThemUntilTheFinalOne) {
    driver_.Start();
    HANDLE port, completion;
    OpenAsync(&port, &completion);
    Receive r;
    ASSERT_EQ(Get(port, r), kIoPending);

    nvx_test::PendingCtl waiting =
        driver_.CtlStart({"send", "--kind", "get", "--request-id", "900", "--wait-reply", "10000", "VERSION"});
    ASSERT_NE(waiting.process, nullptr);
    Completion c = Wait(completion, kSettleMs);
    ASSERT_TRUE(c.ok) << "error " << c.error;
    w::CommandMsg request;
    memcpy(&request, r.message(), sizeof request);
    ASSERT_EQ(request.requestId, 900u);

    uint32_t status;
    DWORD returned;
    // A reply to another request is not one of ours; a non-final one is collected; the final
    // one ends the wait.
    ASSERT_EQ(Send(port, Command(0x06, 901, 12, "other"), &status, &returned), S_OK);
    ASSERT_EQ(Send(port, Command(0x02, 900, 12, "part"), &status, &returned), S_OK);
    ASSERT_EQ(Send(port, Command(0x06, 900, 12, "2.1.2"), &status, &returned), S_OK);
    nvx_test::CtlRun run = driver_.CtlFinish(waiting);
    EXPECT_EQ(run.code, 0u) << run.out;
    EXPECT_EQ(run.out.find("\"text\":\"other\""), std::string::npos) << run.out;
    const size_t part = run.out.find("\"text\":\"part\"");
    const size_t final = run.out.find("\"text\":\"2.1.2\"");
    EXPECT_NE(part, std::string::npos) << run.out;
    EXPECT_NE(final, std::string::npos) << run.out;
    EXPECT_LT(part, final);

    // A reply the driver answered "queue full" was not delivered, so it does not count.
    driver_.CtlOk({"queue-full", "1"});
    ASSERT_EQ(Get(port, r), kIoPending);
    waiting = driver_.CtlStart({"send", "--request-id", "902", "--wait-reply", "10000", "VERSION"});
    ASSERT_TRUE(Wait(completion, kSettleMs).ok);
    ASSERT_EQ(Send(port, Command(0x06, 902, 12, "refused"), &status, &returned), S_OK);
    ASSERT_EQ(status, w::kCommQueueFull);
    ASSERT_EQ(Send(port, Command(0x06, 902, 12, "delivered"), &status, &returned), S_OK);
    run = driver_.CtlFinish(waiting);
    EXPECT_EQ(run.code, 0u) << run.out;
    EXPECT_EQ(run.out.find("refused"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"text\":\"delivered\""), std::string::npos) << run.out;

    // No reply within the time: exit status 1 and a timeout line.
    run = driver_.Ctl({"send", "--request-id", "903", "--wait-reply", "300", "VERSION"});
    EXPECT_EQ(run.code, 1u) << run.out;
    EXPECT_NE(run.out.find("\"event\":\"timeout\""), std::string::npos) << run.out;
}

TEST_F(FltPortTest, WithoutAnOverlappedTheReceiveWaitsForItsMessage) {
    driver_.Start();
    // A port handle opened for synchronous use, and the usual overlapped one read without an
    // OVERLAPPED: both return S_OK once the message is there.
    for (DWORD options : {0x1ul, 0x0ul}) {
        SCOPED_TRACE(options);
        HANDLE port;
        ASSERT_EQ(Connect(w::kAsyncPortName, RegRequest(w::kTagContext, 1, 30), &port, options), S_OK);
        driver_.CtlOk({"event", "ping"});
        Receive r;
        ASSERT_EQ(get_(port, r.header(), kReceiveSize, nullptr), S_OK);
        EXPECT_EQ(r.message()[2], w::kTypeEvent);
        EXPECT_EQ(memcmp(r.message() + 12, "ping", 5), 0);
        ClosePort(port);
    }
}

TEST_F(FltPortTest, CallsOnHandlesThatAreNoPortsAreRefused) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Receive r;
    uint32_t status;
    DWORD returned = 7;
    EXPECT_EQ(Get(event, r), kInvalidHandle);
    EXPECT_EQ(Send(event, RegRequest(w::kTagRegRequest, 0, 30), &status, &returned), kInvalidHandle);
    EXPECT_EQ(returned, 0u);
    CloseHandle(event);
    EXPECT_EQ(connect_(w::kAsyncPortName, 0, nullptr, 0, nullptr, nullptr), E_INVALIDARG);
}

}  // namespace
