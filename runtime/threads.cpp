#include "runtime/threads.h"

#include <cstring>

#include "runtime/debug_log.h"
#include "runtime/memory.h"

namespace {

// The slice in which a failed wait is waited out (SgThreadWait).
constexpr int64_t kFailedWaitSliceMs = 50;

bool IsValid(const SgThread* thread) { return thread != nullptr && thread->os != nullptr; }

bool DestroyThreadObject(SgObject* object) { return SgDestroyThread(reinterpret_cast<SgThread*>(object)); }

}  // namespace

SgThread* SgCreateThread(LPTHREAD_START_ROUTINE routine, const void* parameter, uint32_t parameterSize) {
    if (routine == nullptr) return nullptr;
    auto* thread = static_cast<SgThread*>(SgAllocMem(sizeof(SgThread)));
    if (thread == nullptr) return nullptr;
    auto* os = static_cast<SgThreadOsBlock*>(SgAllocMem(sizeof(SgThreadOsBlock)));
    if (os == nullptr) {
        SgFreeMem(thread);
        return nullptr;
    }
    memset(thread, 0, sizeof(*thread));
    memset(os, 0, sizeof(*os));
    thread->header.size = sizeof(SgThread);
    thread->header.destroy = DestroyThreadObject;
    if (parameter != nullptr && parameterSize != 0) {
        thread->parameter = SgAllocMem(parameterSize);
        if (thread->parameter == nullptr) {
            SgFreeMem(os);
            SgFreeMem(thread);
            return nullptr;
        }
        memcpy(thread->parameter, parameter, parameterSize);
        thread->parameterSize = parameterSize;
    }
    os->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (os->wakeEvent == nullptr) {
        SgDebugPrint(SG_FAC_THREAD, SG_LVL_ERROR, "Unable to create a thread's wake event, error %lu",
                     static_cast<unsigned long>(GetLastError()));
        if (thread->parameter != nullptr) SgFreeMem(thread->parameter);
        SgFreeMem(os);
        SgFreeMem(thread);
        return nullptr;
    }
    thread->routine = routine;
    InitializeCriticalSection(&thread->lock);
    thread->aliveFlag = 0;
    thread->runFlag = 0;
    thread->os = os;
    return thread;
}

bool SgStartThread(SgThread* thread) {
    if (!IsValid(thread)) return false;
    EnterCriticalSection(&thread->lock);
    if (thread->runFlag) {
        LeaveCriticalSection(&thread->lock);
        return false;
    }
    thread->runFlag = 1;
    LeaveCriticalSection(&thread->lock);

    HANDLE handle = nullptr;
    DWORD id = 0;
    handle = CreateThread(nullptr, 0, thread->routine, thread->parameter, 0, &id);
    if (handle == nullptr) {
        // The caller's Debug line before the start names the thread.
        SgDebugPrint(SG_FAC_THREAD, SG_LVL_ERROR, "Unable to start a thread, error %lu",
                     static_cast<unsigned long>(GetLastError()));
        EnterCriticalSection(&thread->lock);
        thread->runFlag = 0;
        LeaveCriticalSection(&thread->lock);
        return false;
    }
    // A restarted object replaces the handle of its ended predecessor.
    if (thread->os->threadHandle != nullptr) CloseHandle(thread->os->threadHandle);
    thread->os->threadHandle = handle;
    thread->os->threadId = id;
    return true;
}

bool SgStopThread(SgThread* thread) {
    if (!IsValid(thread)) return false;
    EnterCriticalSection(&thread->lock);
    thread->runFlag = 0;
    LeaveCriticalSection(&thread->lock);
    SetEvent(thread->os->wakeEvent);
    return true;
}

bool SgWakeThread(SgThread* thread) {
    if (!IsValid(thread)) return false;
    SetEvent(thread->os->wakeEvent);
    return true;
}

int64_t SgThreadWait(SgThread* thread, int64_t micros) {
    if (!IsValid(thread) || micros == 0) return 0;
    int64_t millis = micros / 1000;
    if (millis <= 0) millis = 1;
    if (millis >= INFINITE) millis = INFINITE - 1;
    int64_t start = SgGetTimeMicros(0);
    DWORD result = WaitForSingleObject(thread->os->wakeEvent, static_cast<DWORD>(millis));
    if (result == WAIT_OBJECT_0) {
        ResetEvent(thread->os->wakeEvent);
    } else if (result == WAIT_FAILED) {
        // A failed wait returns at once: the body would take it for a wake-up and wait again at
        // once, spinning. The time is waited out in short sleeps instead, so the body keeps its
        // pace (a failure that lasts is logged once a period, not in a flood), and a stop still
        // ends the wait within a slice.
        SgDebugPrint(SG_FAC_THREAD, SG_LVL_ERROR, "Wait for a thread's wake event failed, error %lu",
                     static_cast<unsigned long>(GetLastError()));
        for (int64_t now = SgGetTimeMicros(start); now - start < micros && SgThreadShouldRun(thread);
             now = SgGetTimeMicros(now)) {
            int64_t sliceMillis = (micros - (now - start) + 999) / 1000;
            Sleep(static_cast<DWORD>(sliceMillis < kFailedWaitSliceMs ? sliceMillis : kFailedWaitSliceMs));
        }
    }
    int64_t left = micros - (SgGetTimeMicros(start) - start);
    return left > 0 ? left : 0;
}

void SgWaitThreadEnd(SgThread* thread) {
    if (!IsValid(thread) || thread->os->threadHandle == nullptr) return;
    WaitForSingleObject(thread->os->threadHandle, INFINITE);
}

bool SgThreadIsStopped(SgThread* thread) {
    if (!IsValid(thread)) return false;
    EnterCriticalSection(&thread->lock);
    bool stopped = !thread->runFlag && !thread->aliveFlag;
    LeaveCriticalSection(&thread->lock);
    return stopped;
}

bool SgThreadShouldRun(SgThread* thread) {
    if (!IsValid(thread)) return false;
    EnterCriticalSection(&thread->lock);
    bool run = thread->runFlag != 0;
    LeaveCriticalSection(&thread->lock);
    return run;
}

void SgThreadSetRunning(SgThread* thread) {
    if (!IsValid(thread)) return;
    EnterCriticalSection(&thread->lock);
    thread->runFlag = 1;
    LeaveCriticalSection(&thread->lock);
}

void SgThreadEnter(SgThread* thread) {
    if (!IsValid(thread)) return;
    EnterCriticalSection(&thread->lock);
    thread->aliveFlag = 1;
    LeaveCriticalSection(&thread->lock);
}

void SgThreadLeave(SgThread* thread) {
    if (!IsValid(thread)) return;
    EnterCriticalSection(&thread->lock);
    thread->aliveFlag = 0;
    LeaveCriticalSection(&thread->lock);
}

void SgThreadExit(SgThread* thread) {
    SgThreadLeave(thread);
    ExitThread(0);
}

bool SgDestroyThread(SgThread* thread) {
    if (!IsValid(thread)) return false;
    if (SgThreadShouldRun(thread)) SgStopThread(thread);
    // The body ends within one pass once the run flag is clear; waiting on the
    // handle returns as soon as it has, instead of polling.
    for (;;) {
        EnterCriticalSection(&thread->lock);
        bool alive = thread->aliveFlag != 0;
        LeaveCriticalSection(&thread->lock);
        if (!alive) break;
        if (thread->os->threadHandle != nullptr) {
            WaitForSingleObject(thread->os->threadHandle, 1000);
        } else {
            Sleep(1000);
        }
    }
    SgThreadOsBlock* os = thread->os;
    // The alive flag is cleared just before the body's OS thread ends; wait for the
    // end itself so the routine's code is no longer running when the owner frees it.
    if (os->threadHandle != nullptr) {
        WaitForSingleObject(os->threadHandle, INFINITE);
        CloseHandle(os->threadHandle);
    }
    CloseHandle(os->wakeEvent);
    DeleteCriticalSection(&thread->lock);
    thread->os = nullptr;
    SgFreeMem(os);
    if (thread->parameter != nullptr) {
        SgFreeMem(thread->parameter);
        thread->parameter = nullptr;
    }
    return true;
}

void SgDestroyAndFreeThread(SgThread** slot) {
    if (slot == nullptr || *slot == nullptr) return;
    SgThread* thread = *slot;
    if (SgDestroyThread(thread)) {
        *slot = nullptr;
        SgFreeMem(thread);
    }
}

int64_t SgGetTimeMicros(int64_t previous) {
    int64_t now = static_cast<int64_t>(GetTickCount64()) * 1000;
    if (now < previous) {
        now += 4294967295000LL;
        if (now < previous) return previous;
    }
    return now;
}
