// The debug log: one filtered logging call for every component, a 64 KiB in-memory
// buffer, and a logging thread that drains it into nvxs.log (rotated at 1 MiB through
// nvxs1.log .. nvxs4.log).
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>
#include <winternl.h>

// Facility bits: every call passes exactly one.
enum : uint32_t {
    SG_FAC_INIT = 0x00000001,
    SG_FAC_SHUTDOWN = 0x00000002,
    SG_FAC_SYS = 0x00000004,
    SG_FAC_WIN = 0x00000008,
    SG_FAC_MEM = 0x00000010,
    SG_FAC_PROC = 0x00000020,
    SG_FAC_THREAD = 0x00000040,
    SG_FAC_FILE = 0x00000080,
    SG_FAC_POLICY = 0x00000100,
    SG_FAC_ETW = 0x00000200,
    SG_FAC_PATH = 0x00000400,
    SG_FAC_NET = 0x00000800,
    SG_FAC_REG = 0x00001000,
    SG_FAC_OBJ = 0x00002000,
    SG_FAC_CRYPTO = 0x00004000,
    SG_FAC_FILEFLT = 0x00008000,
    SG_FAC_COMMS = 0x00010000,
    SG_FAC_NOTIFY = 0x00020000,
    SG_FAC_FILESCAN = 0x00040000,
    SG_FAC_FILEHASH = 0x00080000,
    SG_FAC_RAVEL = 0x00100000,
    SG_FAC_EVTJRN = 0x00200000,
    SG_FAC_TELEMETRY = 0x00400000,
    SG_FAC_ASSERT = 0x80000000,
};

enum : uint32_t {
    SG_LVL_DEBUG = 1,
    SG_LVL_INFO = 2,
    SG_LVL_NOTICE = 3,
    SG_LVL_WARNING = 4,
    SG_LVL_ERROR = 5,
    SG_LVL_CRIT = 6,
    SG_LVL_ALERT = 7,
    SG_LVL_EMERG = 8,
};

constexpr uint32_t kDefaultDebugFacilities = 0xFFFFFFFFu;
constexpr uint32_t kDefaultDebugLevel = SG_LVL_INFO;
constexpr uint32_t kDebugBufferSize = 65536;
constexpr uint64_t kDebugRotateThreshold = 0x100000;  // rotate once nvxs.log is larger

// Safe on any thread at any time; initialises the log on demand.
void SgDebugPrint(uint32_t facility, uint32_t level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

bool SgDebugInit();
bool SgDebugReadSettings();
bool SgDebugStartThread();
void SgDebugStopThread();
void SgDebugShutdown();
bool SgDebugThreadExists();

// Appends one block to nvxs.log, rotating first when the file has passed 1 MiB.
// Returns an NT status.
uint32_t SgDebugWriteFile(const void* data, uint32_t length);

// Builds the five log file paths below the given logs directory (device or DOS-device
// form that NtCreateFile accepts). Replaces paths set earlier. False on allocation failure.
bool SgDebugSetLogDirectory(const UNICODE_STRING* logsDirectory);

// The current filter. Replaced by single 32-bit stores, read without the lock.
uint32_t SgDebugGetFacilities();
uint32_t SgDebugGetLevel();
void SgDebugSetFilter(uint32_t facilities, uint32_t level);

// Messages dropped because the buffer was full (reported at shutdown).
uint64_t SgDebugMissedMessages();
// Bytes waiting in the buffer (for tests and the shutdown flush).
uint32_t SgDebugBufferedBytes();
