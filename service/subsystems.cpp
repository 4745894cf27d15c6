#include "service/subsystems.h"

#include "comms/async_channel.h"
#include "comms/command_attrs.h"
#include "comms/sync_port.h"
#include "comms/wsc_client.h"
#include "journals/event_journals.h"
#include "perf/nvx_perf_gatherer.h"
#include "runtime/debug_log.h"
#include "runtime/memory.h"
#include "runtime/os_symbols.h"
#include "runtime/path_names.h"
#include "service/driver_version.h"
#include "service/exit_codes.h"
#include "service/lifecycle.h"
#include "telemetry/telemetry.h"
#include "watchers/os_notifications.h"

SgThread* MainLoopThread = nullptr;
uint64_t MainLoopPeriod = kMainLoopShortPeriod;

namespace {

int64_t gMainLoopLast = 0;
int64_t gMainLoopDeadline = 0;

bool LongPeriodConditionsMet() { return Started.driverConnected && Started.syncPortUp && Started.perfLoggerUp; }

// The asynchronous channel comes up only once the synchronous port is connected.
void ConnectDriverPorts() {
    if (!Started.syncPortUp) Started.syncPortUp = SgConnectSyncPort() ? 1 : 0;
    if (Started.syncPortUp && !Started.driverConnected) Started.driverConnected = SgInitAsyncComms() ? 1 : 0;
}

// The channel (its thread ended), then the synchronous port, each only when it is up.
void ReleaseDriverPorts() {
    if (Started.driverConnected) {
        Started.driverConnected = 0;
        SgShutdownAsyncComms();
    }
    if (Started.syncPortUp) {
        Started.syncPortUp = 0;
        SgCloseSyncPort();
    }
}

// Takes both driver connections down, so that the next housekeeping connects them again exactly
// as a driver that appears after start-up: synchronous port first, then the channel with its
// registration and a new communications thread. Runs on the service thread, which alone also
// runs ShutdownService, so a teardown and a shutdown never overlap; the thread has stopped
// itself (the port broke) or never started, and is waited for before its channel is released.
void DisconnectDriverPorts() {
    SgWaitCommsThreadEnd();
    ReleaseDriverPorts();
    // Back to the start-up period while the driver is missing.
    MainLoopPeriod = kMainLoopShortPeriod;
}

// The housekeeping's driver connections: a channel whose port broke is taken down, then whatever
// is missing is connected, and a channel that came up gets its communications thread. A channel
// whose thread cannot be started would be deaf: it is taken down too, and tried again.
void KeepDriverConnected() {
    if (Started.driverConnected && SgAsyncChannelLost()) DisconnectDriverPorts();
    // A stop that came while the old channel was taken down ends the loop next: nothing is
    // connected only for its shutdown to take it down again.
    if (!SgThreadShouldRun(MainLoopThread)) return;
    if (Started.driverConnected && Started.syncPortUp) return;
    bool wasConnected = Started.driverConnected;
    ConnectDriverPorts();
    if (wasConnected || !Started.driverConnected || !SgCommsThreadExists()) return;
    // The thread module has logged the failure with its error.
    if (!SgStartCommsThread()) DisconnectDriverPorts();
}

}  // namespace

bool InitSubsystems() {
    if (!SgInitCommandAttrs()) {
        ExitCode = kExitCommandAttrsFailed;
        ShutdownService();
        return false;
    }
    Started.commandAttrsStarted = 1;
    if (!SgInitWSCClient()) {
        ExitCode = kExitWscClientFailed;
        ShutdownService();
        return false;
    }
    Started.wscStarted = 1;
    // Neither port is needed to start: the main loop retries both.
    ConnectDriverPorts();

    if (!InitOsNotifications()) {
        ExitCode = kExitOsNotificationsFailed;
        ShutdownService();
        return false;
    }
    Started.notifyStarted = 1;

    if (!InitEventJournals()) {
        ExitCode = kExitEventJournalsFailed;
        ShutdownService();
        return false;
    }
    Started.journalsStarted = 1;

    // The perf logger and telemetry come up here, in that order; the main loop retries a failure.
    Started.perfLoggerUp = InitPerfLogger() ? 1 : 0;
    Started.telemetryUp = InitTelemetry() ? 1 : 0;

    MainLoopThread = SgCreateThread(RunMainLoop, nullptr, 0);
    if (MainLoopThread == nullptr) {
        SgDebugPrint(SG_FAC_INIT, SG_LVL_ERROR, "Unable to create the main loop thread object");
        ExitCode = kExitMainLoopThreadFailed;
        ShutdownService();
        return false;
    }
    // A driver port that breaks wakes the main loop, which reconnects.
    SgWatchAsyncChannelLoss(MainLoopThread);
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
        // A stop ends the loop without a housekeeping that could hold it up (a connection attempt).
        if (!SgThreadShouldRun(self)) break;
        // A broken driver port wakes the loop: it is housekept at once rather than at the deadline.
        bool portLost = Started.driverConnected && SgAsyncChannelLost();
        if (remaining == 0 || left == 0 || portLost) {
            now = SgGetTimeMicros(now);
            SgDebugPrint(SG_FAC_SYS, SG_LVL_DEBUG, "Mainloop housekeeping %llu", static_cast<unsigned long long>(now));
            KeepDriverConnected();
            // The perf logger and telemetry are retried here while they are down.
            if (!Started.perfLoggerUp) Started.perfLoggerUp = InitPerfLogger() ? 1 : 0;
            if (!Started.telemetryUp) Started.telemetryUp = InitTelemetry() ? 1 : 0;
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

    // The driver-version check comes first. Then the event-journal, communications and
    // OS notification threads are stopped, and waited for, in that order.
    CheckDriverDowngrade();
    StopEventJournalThread();
    if (SgCommsThreadExists()) SgStopCommsThread();
    StopOsNotificationThread();
    WaitEventJournalThreadEnd();
    SgWaitCommsThreadEnd();
    WaitOsNotificationThreadEnd();

    // No communications thread runs any more that could wake the main loop's object.
    SgWatchAsyncChannelLoss(nullptr);
    SgDestroyAndFreeThread(&MainLoopThread);

    if (Started.journalsStarted) {
        Started.journalsStarted = 0;
        ShutdownEventJournals();
    }
    if (Started.notifyStarted) {
        Started.notifyStarted = 0;
        ShutdownOsNotifications();
    }
    // The gatherer's thread is joined (a sample in progress finishes first).
    if (Started.perfLoggerUp) {
        Started.perfLoggerUp = 0;
        ShutdownPerfLogger();
    }
    ReleaseDriverPorts();
    if (Started.wscStarted) {
        Started.wscStarted = 0;
        SgShutdownWSCClient();
    }
    if (Started.commandAttrsStarted) {
        Started.commandAttrsStarted = 0;
        SgShutdownCommandAttrs();
    }

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
