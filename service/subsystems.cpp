#include "service/subsystems.h"

#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/path_names.h"
#include "service/lifecycle.h"

SgThread* MainLoopThread = nullptr;
uint64_t MainLoopPeriod = kMainLoopShortPeriod;

namespace {

int64_t gMainLoopLast = 0;
int64_t gMainLoopDeadline = 0;

bool LongPeriodConditionsMet() { return Started.driverConnected && Started.syncPortUp && Started.perfLoggerUp; }

}  // namespace

bool InitSubsystems() {
    // Command attributes, the WSC client, the driver ports, OS notifications, event
    // journals, the perf logger and telemetry come up here, in that order.

    MainLoopThread = SgCreateThread(RunMainLoop, nullptr, 0);
    if (MainLoopThread == nullptr) {
        ShutdownService();
        return false;
    }
    MainLoopPeriod = LongPeriodConditionsMet() ? kMainLoopLongPeriod : kMainLoopShortPeriod;
    return true;
}

DWORD WINAPI RunMainLoop(LPVOID) {
    SgThread* self = MainLoopThread;
    if (self == nullptr) return 0xFFFFFFFF;
    SgThreadEnter(self);
    int64_t now = SgGetTimeMicros(0);
    gMainLoopLast = now;
    gMainLoopDeadline = now + static_cast<int64_t>(MainLoopPeriod);
    while (SgThreadShouldRun(self)) {
        now = SgGetTimeMicros(now);
        int64_t remaining = gMainLoopDeadline > now ? gMainLoopDeadline - now : 0;
        int64_t left = 0;
        if (remaining > 0) left = SgThreadWait(self, remaining);
        if (remaining == 0 || left == 0) {
            now = SgGetTimeMicros(now);
            SgDebugPrint(SG_FAC_SYS, SG_LVL_DEBUG, "Mainloop housekeeping %llu", static_cast<unsigned long long>(now));
            // The driver connection, the sync port, the perf logger and telemetry are
            // retried here while they are down.
            if (LongPeriodConditionsMet()) MainLoopPeriod = kMainLoopLongPeriod;
            gMainLoopLast = now;
            gMainLoopDeadline = now + static_cast<int64_t>(MainLoopPeriod);
        }
    }
    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_INFO, "Shutting down the service...");
    SgThreadLeave(self);
    return 0;
}

bool ShutdownService() {
    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_INFO, "Starting shutdown...");

    // The driver-version check, then the event-journal, communications and OS
    // notification threads are stopped and waited for here, in that order.

    SgDestroyAndFreeThread(&MainLoopThread);

    // Event journals, OS notifications, the perf logger, the driver channel and sync
    // port, the WSC client and the command attributes are released here, in that order.

    if (SgDebugThreadExists()) SgDebugStopThread();

    if (Started.pathsStarted) {
        Started.pathsStarted = 0;
        SgShutdownPathManagement();
    }

    if (Started.poolStarted) {
        Started.poolStarted = 0;
        SgShutdownMemory();
    }
    SgShutdownOsSymbols();
    SgDebugPrint(SG_FAC_SHUTDOWN, SG_LVL_INFO, "Service stopping...");
    if (Started.debugStarted) {
        Started.debugStarted = 0;
        SgDebugShutdown();
    }
    return true;
}
