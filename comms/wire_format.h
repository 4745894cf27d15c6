// Messages exchanged with the NVX driver on its two Filter Manager communication ports,
// byte for byte. Shared by the service and the driver simulator: every size and offset
// is pinned by a static_assert. All multi-byte fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvx_wire {

constexpr uint8_t kHeaderVersion = 1;
constexpr uint8_t kBodyVersion = 1;

enum MessageType : uint8_t {
    kTypeSyncRequest = 1,
    kTypeRegRequest = 3,
    kTypeCommand = 5,
    kTypeEvent = 6,
};

enum TypeTag : uint8_t {
    kTagContext = 0x00,
    kTagRegRequest = 0x32,
    kTagSyncRequest = 0x32,
    kTagCommand = 0x64,
};

enum CommandFlags : uint8_t {
    kFlagRequest = 0x01,
    kFlagReply = 0x02,
    kFlagFinal = 0x04,
    kFlagError = 0x08,
};

enum CommandKind : uint8_t {
    kKindGet = 1,
    kKindSet = 2,
    kKindCall = 3,
    kKindExec = 4,
};

constexpr uint8_t kPayloadText = 1;  // NUL-terminated text: the only command payload format

constexpr uint32_t kServiceComponentId = 30;

// Largest message on the asynchronous port, and the largest command payload that fits.
constexpr uint32_t kMaxMessageSize = 0x40000;
constexpr uint32_t kCommandFixedSize = 56;
constexpr uint32_t kMaxCommandPayload = kMaxMessageSize - kCommandFixedSize;  // 0x3FFC8
constexpr uint32_t kEventFixedSize = 12;
constexpr uint32_t kRegRequestSize = 16;
constexpr uint32_t kSyncRequestSize = 48;
constexpr uint32_t kSyncReplySize = 32;
constexpr uint32_t kSendStatusSize = 4;  // every send is answered with one u32 status

// Filter Manager framing in front of every received message.
constexpr uint32_t kFilterMessageHeaderSize = 16;

// Status words the driver writes into the 4-byte output of every send.
enum CommStatus : uint32_t {
    kCommSuccess = 0x00000000,
    kCommGeneralFailure = 0xE0020001,
    kCommInvalidMessage = 0xE0020002,
    kCommNotRegistered = 0xE0020003,
    kCommUnsupportedMessage = 0xE0020004,
    kCommUnknownProcess = 0xE0020005,
    kCommUnknownComponent = 0xE0020006,
    kCommUnknownCommand = 0xE0020007,
    kCommRequestFailed = 0xE0020008,
    kCommQueueFull = 0xE0020009,
};

#pragma pack(push, 1)

struct MsgHeader {
    uint8_t version;   // always 1
    uint8_t reserved;  // 0
    uint8_t type;      // MessageType
    uint8_t tag;       // per-type constant; receivers do not check it
    uint32_t size;     // whole message, header included
};

struct RegRequestMsg {
    MsgHeader header;  // type 3, tag 0x32 (0 in the connection context), size 16
    uint8_t bodyVersion;
    uint8_t contextMarker;  // 1 in the connection context, 0 on the port
    uint8_t reserved[2];
    uint32_t componentId;
};

struct CommandMsg {
    MsgHeader header;  // type 5, tag 0x64, size 56 + payload
    uint8_t bodyVersion;
    uint8_t flags;          // CommandFlags
    uint8_t kind;           // CommandKind
    uint8_t payloadFormat;  // kPayloadText
    uint32_t requestId;
    uint32_t sourceComponentId;
    uint32_t destinationComponentId;
    uint64_t sourceProcessId;
    uint64_t sourceProcessKey;
    uint64_t destinationProcessId;
    uint64_t destinationProcessKey;
    // payload follows
};

struct EventMsg {
    MsgHeader header;  // type 6, size 12 + payload
    uint8_t bodyVersion;
    uint8_t notInterpreted[3];
    // payload follows
};

struct SyncRequestMsg {
    MsgHeader header;  // type 1, tag 0x32, size 48
    uint8_t field8;    // 1
    uint8_t field9;    // 1
    uint8_t reserved[2];
    uint32_t field12;  // 16
    uint32_t field16;  // 1
    uint32_t field20;  // 0
    uint64_t processId;
    uint64_t field32;       // 0
    uint64_t blockAddress;  // a 16-byte zero-filled block the service owns for its whole run
};

struct SyncReplyMsg {
    uint8_t version;  // 1
    uint8_t reserved1;
    uint8_t type;  // 1
    uint8_t reserved3;
    uint32_t size;  // 32
    uint32_t status;
    uint32_t field12;  // 16 in a successful reply
    uint8_t reserved[16];
};

struct FilterMessageHeader {
    uint32_t replyLength;
    uint32_t padding;
    uint64_t messageId;
};

#pragma pack(pop)

static_assert(sizeof(MsgHeader) == 8);
static_assert(offsetof(MsgHeader, type) == 2 && offsetof(MsgHeader, tag) == 3 && offsetof(MsgHeader, size) == 4);
static_assert(sizeof(RegRequestMsg) == kRegRequestSize);
static_assert(offsetof(RegRequestMsg, bodyVersion) == 8 && offsetof(RegRequestMsg, contextMarker) == 9 &&
              offsetof(RegRequestMsg, componentId) == 12);
static_assert(sizeof(CommandMsg) == kCommandFixedSize);
static_assert(offsetof(CommandMsg, bodyVersion) == 8 && offsetof(CommandMsg, flags) == 9 &&
              offsetof(CommandMsg, kind) == 10 && offsetof(CommandMsg, payloadFormat) == 11 &&
              offsetof(CommandMsg, requestId) == 12 && offsetof(CommandMsg, sourceComponentId) == 16 &&
              offsetof(CommandMsg, destinationComponentId) == 20 && offsetof(CommandMsg, sourceProcessId) == 24 &&
              offsetof(CommandMsg, sourceProcessKey) == 32 && offsetof(CommandMsg, destinationProcessId) == 40 &&
              offsetof(CommandMsg, destinationProcessKey) == 48);
static_assert(sizeof(EventMsg) == kEventFixedSize);
static_assert(sizeof(SyncRequestMsg) == kSyncRequestSize);
static_assert(offsetof(SyncRequestMsg, field12) == 12 && offsetof(SyncRequestMsg, field16) == 16 &&
              offsetof(SyncRequestMsg, field20) == 20 && offsetof(SyncRequestMsg, processId) == 24 &&
              offsetof(SyncRequestMsg, field32) == 32 && offsetof(SyncRequestMsg, blockAddress) == 40);
static_assert(sizeof(SyncReplyMsg) == kSyncReplySize);
static_assert(offsetof(SyncReplyMsg, status) == 8 && offsetof(SyncReplyMsg, field12) == 12);
static_assert(sizeof(FilterMessageHeader) == kFilterMessageHeaderSize);
static_assert(kMaxCommandPayload == 0x3FFC8);

// Port names of the driver.
constexpr const wchar_t kAsyncPortName[] = L"\\KestroVantorAsyncCommPort";
constexpr const wchar_t kSyncPortName[] = L"\\KestroVantorSyncCommPort";

}  // namespace nvx_wire
