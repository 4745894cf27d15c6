// Process exit codes, also reported as the Win32 exit code of every service status.
#pragma once

#include <cstdint>

enum : uint32_t {
    kExitOk = 0,
    kExitDebugLogFailed = 0xF000001,
    kExitOsSymbolsFailed = 0xF000002,
    kExitMemoryFailed = 0xF000003,
    kExitPathsFailed = 0xF000004,
    kExitWscClientFailed = 0xF000008,
    kExitOsNotificationsFailed = 0xF000009,
    kExitOsNotificationThreadFailed = 0xF000013,
    kExitCommandAttrsFailed = 0xF000018,
    kExitCommsThreadFailed = 0xF000020,
    kExitNoServiceManager = 0xF000021,
    kExitNoServiceEntry = 0xF000022,
    kExitDispatcherFailed = 0xF000024,
    kExitNotStartPending = 0xF000025,
    kExitEventJournalThreadFailed = 0xF000027,
    // Beyond the original table: these two start failures used to end with 0, which the SCM and
    // every monitoring tool read as a clean stop.
    kExitEventJournalsFailed = 0xF000028,
    kExitMainLoopThreadFailed = 0xF000029,
    // Beyond the original table: the SCM would not register the control handler, so no state
    // could ever be reported.
    kExitControlHandlerFailed = 0xF00002A,
};
