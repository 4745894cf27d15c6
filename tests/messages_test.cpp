// Driver message objects: the bytes the service builds, the command size limits, the receive
// rules by type, and the attribute reference a message holds.
#include "comms/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "comms/command_attrs.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "tests/support/log_capture.h"

namespace {

using namespace nvx_wire;

using nvx_test::BlocksInUse;

// Lines logged since the last call, without the pool's Debug lines about its chunks.
size_t LinesLogged() { return nvx_test::TakeLogWithoutPoolDebug().size(); }

// Received bytes: a header of `type` with size field `size`, then `body` from offset 8.
std::vector<uint8_t> Bytes(uint8_t type, uint32_t size, std::vector<uint8_t> body) {
    std::vector<uint8_t> bytes(size, 0);
    const MsgHeader h{kHeaderVersion, 0, type, 0, size};
    memcpy(bytes.data(), &h, std::min<size_t>(size, sizeof(h)));
    for (size_t i = 0; i < body.size() && 8 + i < size; ++i) bytes[8 + i] = body[i];
    return bytes;
}

class MessagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SgInitMemory());
        nvx_test::ClearLog();
    }
    void TearDown() override { EXPECT_TRUE(SgShutdownMemory()) << "pool blocks left behind"; }
};

TEST_F(MessagesTest, BuiltMessagesHaveTheirWireLayout) {
    SgMessage* m = SgCreateCommandMessage(12, 5, kKindExec);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->message, reinterpret_cast<uint8_t*>(m + 1)) << "message bytes lie inside the object";
    EXPECT_EQ(m->header.destroy, SgDeleteMessage);
    const uint8_t command[24] = {1, 0, 5, 0x64, 61, 0, 0, 0, 1,  0x01, kKindExec, 1,
                                 0, 0, 0, 0,    0,  0, 0, 0, 12, 0,    0,         0};
    EXPECT_EQ(memcmp(m->message, command, sizeof(command)), 0);
    EXPECT_EQ(m->payload, m->message + 56);
    EXPECT_EQ(m->payloadLength, 5u);
    EXPECT_EQ(m->outgoing, 1) << "the router stamps the service's source fields";
    SgDestroyMessage(m);

    SgMessage* r = SgCreateRegistrationMessage(kServiceComponentId);
    ASSERT_NE(r, nullptr);
    const uint8_t registration[16] = {1, 0, 3, 0x32, 16, 0, 0, 0, 1, 0, 0, 0, 30, 0, 0, 0};
    EXPECT_EQ(memcmp(r->message, registration, sizeof(registration)), 0);
    EXPECT_TRUE(SgValidateMessage(r, 16)) << "what the service sends passes its own receive rules";
    SgDestroyMessage(r);
}

TEST_F(MessagesTest, CommandPayloadAndKindLimits) {
    SgMessage* largest = SgCreateCommandMessage(30, 0x3FFC8, kKindGet);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(SgMessageHeader(largest)->size, 0x40000u);
    SgDestroyMessage(largest);
    SgMessage* empty = SgCreateCommandMessage(30, 0, kKindSet);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SgMessageHeader(empty)->size, 56u);
    SgDestroyMessage(empty);

    LinesLogged();
    const uint64_t before = BlocksInUse();
    EXPECT_EQ(SgCreateCommandMessage(30, 0x3FFC9, kKindGet), nullptr);
    EXPECT_EQ(SgCreateCommandMessage(30, 1, 0), nullptr);
    EXPECT_EQ(SgCreateCommandMessage(30, 1, 5), nullptr);
    EXPECT_EQ(SgCreateRecvMessage(0), nullptr);
    EXPECT_EQ(BlocksInUse(), before);
    EXPECT_EQ(LinesLogged(), 4u) << "each refusal logged once";
}

TEST_F(MessagesTest, ReceiveRulesByType) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool accepted;
        uint32_t payloadOffset;
    };
    std::vector<uint8_t> badHeader = Bytes(kTypeCommand, 60, {1, 0x01});
    badHeader[0] = 2;
    const std::vector<Case> cases = {
        {"command request", Bytes(kTypeCommand, 60, {1, 0x05}), true, 56},
        {"command reply", Bytes(kTypeCommand, 60, {1, 0x0E}), true, 56},
        {"command of 56 bytes", Bytes(kTypeCommand, 56, {1, 0x01}), true, 56},
        {"largest command", Bytes(kTypeCommand, 0x40000, {1, 0x01}), true, 56},
        {"request and reply", Bytes(kTypeCommand, 60, {1, 0x03}), false, 0},
        {"neither request nor reply", Bytes(kTypeCommand, 60, {1, 0x00}), false, 0},
        {"command body version 2", Bytes(kTypeCommand, 60, {2, 0x01}), false, 0},
        {"command of 55 bytes", Bytes(kTypeCommand, 55, {1, 0x01}), false, 0},
        {"header version 2", badHeader, false, 0},
        {"registration", Bytes(kTypeRegRequest, 16, {1}), true, 0},
        {"registration body version 2", Bytes(kTypeRegRequest, 16, {2}), false, 0},
        {"registration of 17 bytes", Bytes(kTypeRegRequest, 17, {1}), false, 0},
        {"event", Bytes(kTypeEvent, 20, {1}), true, 12},
        {"event of 12 bytes", Bytes(kTypeEvent, 12, {1}), true, 12},
        {"event of 11 bytes", Bytes(kTypeEvent, 11, {1}), false, 0},
        {"event body version 0", Bytes(kTypeEvent, 20, {0}), false, 0},
        {"synchronous request", Bytes(kTypeSyncRequest, 48, {1, 1}), false, 0},
        {"type 4", Bytes(4, 48, {1, 1}), false, 0},
        {"above 0x40000", Bytes(kTypeCommand, 0x40001, {1, 0x01}), false, 0},
    };
    const uint64_t before = BlocksInUse();
    for (const Case& c : cases) {
        SgMessage* m = SgParseMessage(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
        ASSERT_EQ(m != nullptr, c.accepted) << c.what;
        if (m == nullptr) continue;
        if (c.payloadOffset == 0) {
            EXPECT_EQ(m->payload, nullptr) << c.what;
        } else {
            EXPECT_EQ(m->payload, m->message + c.payloadOffset) << c.what;
            EXPECT_EQ(m->payloadLength, c.bytes.size() - c.payloadOffset) << c.what;
        }
        SgDestroyMessage(m);
    }
    // The size field must equal the number of bytes received, in both directions.
    std::vector<uint8_t> bytes = Bytes(kTypeCommand, 60, {1, 0x01});
    EXPECT_EQ(SgParseMessage(bytes.data(), 59), nullptr);
    bytes.push_back(0);
    EXPECT_EQ(SgParseMessage(bytes.data(), 61), nullptr);
    EXPECT_EQ(SgParseMessage(bytes.data(), 7), nullptr) << "shorter than a header";

    EXPECT_EQ(BlocksInUse(), before) << "rejected messages are destroyed";
    EXPECT_EQ(LinesLogged(), 0u) << "and dropped without a log line";
}

// One completed receive: the Filter Manager's 16 bytes, then the message. Only the size field
// that differs from the bytes received is logged; the rest is dropped quietly.
TEST_F(MessagesTest, ReceivedFrameChecks) {
    auto frame = [](std::vector<uint8_t> message) {
        message.insert(message.begin(), kFilterMessageHeaderSize, 0xEE);
        return message;
    };
    const uint64_t before = BlocksInUse();
    const std::vector<uint8_t> request = frame(Bytes(kTypeCommand, 60, {1, 0x05}));
    SgMessage* m = SgAcceptReceivedFrame(3, request.data(), static_cast<uint32_t>(request.size()));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(memcmp(m->message, request.data() + kFilterMessageHeaderSize, 60), 0);
    EXPECT_EQ(m->payloadLength, 4u);
    SgDestroyMessage(m);
    nvx_test::TakeLog();

    EXPECT_EQ(SgAcceptReceivedFrame(3, request.data(), kFilterMessageHeaderSize), nullptr) << "no message";
    EXPECT_EQ(SgAcceptReceivedFrame(3, request.data(), 1), nullptr);
    EXPECT_EQ(LinesLogged(), 0u);
    EXPECT_EQ(SgAcceptReceivedFrame(3, request.data(), static_cast<uint32_t>(request.size() - 1)), nullptr);
    std::vector<nvx_test::LogLine> log = nvx_test::TakeLogWithoutPoolDebug();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "[3] Number of bytes received do not match 59 != 60");
    const std::vector<uint8_t> shortHeader = frame({1, 0, 5, 0});
    EXPECT_EQ(SgAcceptReceivedFrame(0, shortHeader.data(), static_cast<uint32_t>(shortHeader.size())), nullptr)
        << "shorter than a header: its size field reads as 0";
    const std::vector<uint8_t> refused = frame(Bytes(kTypeCommand, 60, {1, 0x03}));
    EXPECT_EQ(SgAcceptReceivedFrame(0, refused.data(), static_cast<uint32_t>(refused.size())), nullptr);
    EXPECT_EQ(BlocksInUse(), before);
}

TEST_F(MessagesTest, DestroyReleasesTheAttributeReferenceOnce) {
    ASSERT_TRUE(SgInitCommandAttrs());
    SgCommandAttr* created = SgCreateCommandAttr("Probe");
    ASSERT_NE(created, nullptr);
    SgReleaseCommandAttr(created);
    const uint32_t resting = created->referenceCount;

    SgMessage* m = SgCreateCommandMessage(30, 0, kKindGet);
    ASSERT_NE(m, nullptr);
    m->attribute = SgFindCommandAttr("probe");
    ASSERT_EQ(m->attribute, created);
    EXPECT_TRUE(SgDeleteMessage(&m->header));
    EXPECT_EQ(m->attribute, nullptr);
    EXPECT_EQ(created->referenceCount, resting);
    EXPECT_TRUE(SgDeleteMessage(&m->header)) << "a second delete finds nothing to release";
    EXPECT_EQ(created->referenceCount, resting);
    SgFreeMem(m);
    SgShutdownCommandAttrs();
}

}  // namespace
