// Worker threads: a routine coupled with a run flag, an alive flag, an auto-reset
// wake event and a lock. Stopping is cooperative: the owner clears the run flag and
// signals the event; the body finishes its pass and ends itself.
#pragma once

#include <windows.h>

#include <cstdint>

#include "runtime/sg_object.h"

struct SgThreadOsBlock {
    HANDLE wakeEvent;
    HANDLE threadHandle;
    DWORD threadId;
};

struct SgThread {
    SgObject header;
    SgThreadOsBlock* os;  // the object is valid only while this is set
    void* parameter;      // private copy of the parameter bytes, or null
    LPTHREAD_START_ROUTINE routine;
    uint32_t parameterSize;
    CRITICAL_SECTION lock;  // guards the two flags
    uint8_t runFlag;
    uint8_t aliveFlag;
};

SgThread* SgCreateThread(LPTHREAD_START_ROUTINE routine, const void* parameter, uint32_t parameterSize);
bool SgStartThread(SgThread* thread);
bool SgStopThread(SgThread* thread);
bool SgWakeThread(SgThread* thread);
// Waits on the wake event; returns the microseconds left (0: the full time elapsed). A wait that
// fails is logged and the time waited out in short sleeps, ended early only by a stop.
int64_t SgThreadWait(SgThread* thread, int64_t micros);
void SgWaitThreadEnd(SgThread* thread);
bool SgThreadIsStopped(SgThread* thread);
// True while the owner wants the body to run (read under the lock).
bool SgThreadShouldRun(SgThread* thread);
// Sets the run flag without creating an OS thread (for a body run on the caller's thread).
void SgThreadSetRunning(SgThread* thread);
void SgThreadEnter(SgThread* thread);
// Clears the alive flag without ending the calling thread (for a body run in place).
void SgThreadLeave(SgThread* thread);
[[noreturn]] void SgThreadExit(SgThread* thread);
// Releases the OS resources after stopping the body; the owner frees the object.
bool SgDestroyThread(SgThread* thread);
// SgDestroyThread followed by SgFreeMem when it succeeds; clears *slot.
void SgDestroyAndFreeThread(SgThread** slot);

// Service clock: microseconds from the tick count, never going backwards.
int64_t SgGetTimeMicros(int64_t previous = 0);
