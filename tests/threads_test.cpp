// Worker-thread semantics: start/stop, waits, wake-ups versus housekeeping, the clock.
#include "runtime/threads.h"

#include <gtest/gtest.h>

#include <atomic>

#include "runtime/debug_log.h"
#include "runtime/fault_seam_testing.h"
#include "runtime/memory.h"
#include "support/log_capture.h"

namespace {

// A body following the periodic pattern, with counters the test reads.
struct PeriodicBody {
    SgThread* thread = nullptr;
    int64_t period = 0;
    std::atomic<int> wakes{0};
    std::atomic<int> housekeeping{0};
    std::atomic<bool> entered{false};
};
PeriodicBody* gBody = nullptr;

DWORD WINAPI PeriodicRoutine(LPVOID) {
    PeriodicBody* body = gBody;
    if (body == nullptr || body->thread == nullptr) return 0xFFFFFFFF;
    SgThreadEnter(body->thread);
    body->entered = true;
    int64_t now = SgGetTimeMicros(0);
    int64_t deadline = now + body->period;
    while (SgThreadShouldRun(body->thread)) {
        now = SgGetTimeMicros(now);
        int64_t remaining = deadline > now ? deadline - now : 0;
        int64_t left = 0;
        if (remaining > 0) left = SgThreadWait(body->thread, remaining);
        ++body->wakes;
        if (remaining == 0 || left == 0) {
            now = SgGetTimeMicros(now);
            ++body->housekeeping;
            deadline = now + body->period;
        }
    }
    SgThreadExit(body->thread);
}

class ThreadsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SgInitMemory()); }
    void TearDown() override {
        gBody = nullptr;
        EXPECT_TRUE(SgShutdownMemory()) << "pool reported unreleased blocks";
    }
    // A thread object for the periodic body with this period; started unless `start` is false.
    void Create(int64_t period, bool start = true) {
        body.period = period;
        gBody = &body;
        body.thread = SgCreateThread(PeriodicRoutine, nullptr, 0);
        ASSERT_NE(body.thread, nullptr);
        if (!start) return;
        ASSERT_TRUE(SgStartThread(body.thread));
        WaitEntered();
    }
    void WaitEntered() {
        while (!body.entered) Sleep(1);
    }
    PeriodicBody body;
};

TEST_F(ThreadsTest, StopEndsABodyBlockedInALongWaitPromptly) {
    ASSERT_NO_FATAL_FAILURE(Create(60000000));  // 60 s
    Sleep(50);
    EXPECT_FALSE(SgThreadIsStopped(body.thread));
    EXPECT_FALSE(SgStartThread(body.thread)) << "a running object must not get a second thread";

    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(SgStopThread(body.thread));
    SgWaitThreadEnd(body.thread);
    EXPECT_LT(GetTickCount64() - start, 5000u) << "the stop must interrupt the 60 s wait";
    EXPECT_TRUE(SgThreadIsStopped(body.thread));
    EXPECT_EQ(body.housekeeping, 0);
    EXPECT_TRUE(SgDestroyThread(body.thread));
    SgFreeMem(body.thread);
}

TEST_F(ThreadsTest, WakeRunsPerWakeWorkButHousekeepingWaitsForItsDeadline) {
    ASSERT_NO_FATAL_FAILURE(Create(600000));  // 0.6 s
    for (int i = 0; i < 3; ++i) {
        int before = body.wakes;
        SgWakeThread(body.thread);
        while (body.wakes == before) Sleep(1);
    }
    EXPECT_GE(body.wakes, 3);
    EXPECT_EQ(body.housekeeping, 0) << "early wake-ups must not run housekeeping";
    while (body.housekeeping == 0) Sleep(10);  // the deadline set before the wake-ups still holds
    // Destroy stops the body itself and returns only after it has ended.
    EXPECT_TRUE(SgDestroyThread(body.thread));
    SgFreeMem(body.thread);
}

TEST_F(ThreadsTest, FailedStartLeavesTheObjectUsable) {
    ASSERT_NO_FATAL_FAILURE(Create(60000000, false));
    nvx_test::ClearLog();
    SgFaultArmNext(SG_FAULT_THREAD_CREATE, 1, ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_FALSE(SgStartThread(body.thread));
    EXPECT_TRUE(SgThreadIsStopped(body.thread)) << "run flag must be clear after a failed start";
    auto log = nvx_test::TakeLogWithoutPoolDebug();
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(nvx_test::CountLines(log, SG_FAC_THREAD, SG_LVL_ERROR, "Unable to start a thread, error 1450"), 1);
    EXPECT_TRUE(SgStartThread(body.thread));
    WaitEntered();
    SgStopThread(body.thread);
    SgWaitThreadEnd(body.thread);
    // A stopped object may be started again once its body has ended.
    body.entered = false;
    EXPECT_TRUE(SgStartThread(body.thread));
    WaitEntered();
    SgDestroyAndFreeThread(&body.thread);
    EXPECT_EQ(body.thread, nullptr);
}

TEST_F(ThreadsTest, AnObjectWithoutItsWakeEventIsNotMadeAndTheFailureIsLogged) {
    nvx_test::ClearLog();
    const uint64_t inUse = nvx_test::BlocksInUse();
    SgFaultArmNext(SG_FAULT_EVENT_CREATE, 1, ERROR_NOT_ENOUGH_MEMORY);
    uint32_t parameter = 7;
    EXPECT_EQ(SgCreateThread(PeriodicRoutine, &parameter, sizeof(parameter)), nullptr);
    EXPECT_EQ(nvx_test::BlocksInUse(), inUse) << "the object's blocks are released";
    auto log = nvx_test::TakeLogWithoutPoolDebug();
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(nvx_test::CountLines(log, SG_FAC_THREAD, SG_LVL_ERROR, "Unable to create a thread's wake event, error 8"),
              1);
}

// A failed wait returned at once, so a periodic body took it for a wake-up and waited again at once.
TEST_F(ThreadsTest, AFailedWaitIsLoggedAndWaitedOutUntilItsTimeOrAStop) {
    ASSERT_NO_FATAL_FAILURE(Create(60000000, false));
    SgThreadSetRunning(body.thread);
    nvx_test::ClearLog();
    SgFaultArmNext(SG_FAULT_WAIT, 1, ERROR_INVALID_HANDLE);
    int64_t start = SgGetTimeMicros(0);
    EXPECT_EQ(SgThreadWait(body.thread, 200000), 0) << "the full time elapsed";
    EXPECT_GE(SgGetTimeMicros(start) - start, 200000);
    auto log = nvx_test::TakeLogWithoutPoolDebug();
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(nvx_test::CountLines(log, SG_FAC_THREAD, SG_LVL_ERROR, "Wait for a thread's wake event failed, error 6"),
              1);

    // A stop ends a failed wait within a slice, however long the wait was.
    SgFaultArmNext(SG_FAULT_WAIT, 1, ERROR_INVALID_HANDLE);
    HANDLE stopper = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* b = static_cast<PeriodicBody*>(p);
            Sleep(100);
            SgStopThread(b->thread);
            return 0;
        },
        &body, 0, nullptr);
    ASSERT_NE(stopper, nullptr);
    start = SgGetTimeMicros(0);
    EXPECT_GT(SgThreadWait(body.thread, 30000000), 20000000) << "the stop ended the wait early";
    EXPECT_LT(SgGetTimeMicros(start) - start, 10000000);
    WaitForSingleObject(stopper, INFINITE);
    CloseHandle(stopper);
    SgDestroyAndFreeThread(&body.thread);
}

TEST_F(ThreadsTest, ParameterBytesAreCopiedAndNullObjectsAreRejected) {
    struct Param {
        int a;
        char text[8];
    } param{42, "abc"};
    SgThread* thread = SgCreateThread(PeriodicRoutine, &param, sizeof(param));
    ASSERT_NE(thread, nullptr);
    ASSERT_NE(thread->parameter, nullptr);
    EXPECT_NE(thread->parameter, static_cast<void*>(&param));
    param.a = 0;
    EXPECT_EQ(static_cast<Param*>(thread->parameter)->a, 42);
    EXPECT_TRUE(SgDestroyThread(thread));
    EXPECT_FALSE(SgDestroyThread(thread)) << "a destroyed object is no longer valid";
    SgFreeMem(thread);

    EXPECT_EQ(SgCreateThread(nullptr, nullptr, 0), nullptr);
    EXPECT_FALSE(SgStartThread(nullptr));
    EXPECT_FALSE(SgStopThread(nullptr));
    EXPECT_FALSE(SgWakeThread(nullptr));
    EXPECT_FALSE(SgThreadIsStopped(nullptr));
    EXPECT_EQ(SgThreadWait(nullptr, 1000), 0);
    SgWaitThreadEnd(nullptr);
}

TEST_F(ThreadsTest, WaitTimesAreRoundedAndWakeUpsReturnTheRemainder) {
    SgThread* thread = SgCreateThread(PeriodicRoutine, nullptr, 0);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(SgThreadWait(thread, 0), 0) << "a zero wait returns at once";
    EXPECT_EQ(SgThreadWait(thread, 500), 0) << "500 us waits one full millisecond";
    SgWakeThread(thread);
    SgWakeThread(thread);  // several wake-ups collapse into one
    int64_t left = SgThreadWait(thread, 30000000);
    EXPECT_GT(left, 20000000) << "a signalled event ends the wait early";
    EXPECT_EQ(SgThreadWait(thread, 20000), 0) << "the auto-reset event was consumed by the first wait";
    EXPECT_TRUE(SgDestroyThread(thread));
    SgFreeMem(thread);
}

TEST(ServiceClock, NeverGoesBackwards) {
    int64_t now = SgGetTimeMicros(0);
    EXPECT_GT(now, 0);
    EXPECT_GE(SgGetTimeMicros(now), now);
    // A reading far ahead of the tick count (as after a 49.7-day wrap of a 32-bit
    // source) is never undercut.
    int64_t ahead = now + 4294967295000LL * 2;
    EXPECT_EQ(SgGetTimeMicros(ahead), ahead);
    // A reading slightly ahead is taken as a wrap: the result moves forward.
    int64_t slightlyAhead = now + 1000000000LL;
    EXPECT_GT(SgGetTimeMicros(slightlyAhead), slightlyAhead);
}

}  // namespace
