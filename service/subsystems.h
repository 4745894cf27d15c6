// Bring-up of the subsystems in their fixed order, the main loop that retries what
// failed at start, and the shutdown sequence that releases everything in order.
#pragma once

#include <cstdint>

#include "runtime/threads.h"

constexpr uint64_t kMainLoopShortPeriod = 5000000;  // while a connection or the perf logger is missing
constexpr uint64_t kMainLoopLongPeriod = 60000000;  // once all of them are up

// The main loop's stop-and-wake handle; never started as an OS thread.
extern SgThread* MainLoopThread;
extern uint64_t MainLoopPeriod;

// True on success; on failure everything has already been released.
bool InitSubsystems();
// Runs on the caller's thread until MainLoopThread is stopped. 0, or 0xFFFFFFFF
// without a MainLoopThread.
DWORD WINAPI RunMainLoop(LPVOID);
// Every step is guarded by its started flag and clears it: may run more than once.
bool ShutdownService();
