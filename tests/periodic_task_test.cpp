// The periodic task on its own thread: when runs happen, what a stop does to a wait and to a run
// in progress, and what a throwing action does to the runs after it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "perf/periodic_task.h"

namespace {

using Kestro::Perf::PeriodicTask;

constexpr uint64_t kHour = 3600 * 1000;

// Counts runs and lets a test wait until a number of them has happened.
class RunCounter {
public:
    void Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++runs_;
        changed_.notify_all();
    }
    void WaitFor(int runs) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return runs_ >= runs; });
    }
    int Runs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int runs_ = 0;
};

// The first run does not wait for the period, and a stop ends the hour-long wait after it at
// once (a stop that only ended the wait at its deadline would hang here until ctest's timeout).
TEST(PeriodicTaskTest, RunsAtOnceAndAStopEndsTheWait) {
    RunCounter counter;
    {
        PeriodicTask task([&] { counter.Count(); }, kHour);
        counter.WaitFor(1);
    }
    EXPECT_EQ(counter.Runs(), 1);
}

// Neither a throwing action nor an empty one ends the task: the runs go on after them.
TEST(PeriodicTaskTest, ThrowingAndEmptyActionsLeaveTheTaskRunning) {
    RunCounter counter;
    {
        PeriodicTask task(
            [&] {
                counter.Count();
                if (counter.Runs() % 2 == 1) throw std::runtime_error("sample failed");
                throw 42;  // not a standard exception
            },
            1);
        counter.WaitFor(3);
    }
    { PeriodicTask empty(nullptr, 1); }  // the empty action is called, and the stop still works
}

// A stop during a run lets the run finish: the destructor returns only after the action has.
TEST(PeriodicTaskTest, AStopWaitsForTheRunInProgress) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished{false};
    auto task = std::make_unique<PeriodicTask>(
        [&] {
            if (finished) return;
            entered.set_value();
            released.wait();
            finished = true;
        },
        kHour);
    entered.get_future().wait();

    std::promise<bool> stopped;  // carries whether the run had finished when the stop returned
    std::future<bool> stoppedAfterRun = stopped.get_future();
    std::thread stopper([&] {
        task.reset();
        stopped.set_value(finished);
    });
    // While the run is held, the stop cannot return.
    EXPECT_EQ(stoppedAfterRun.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    release.set_value();
    stopper.join();
    EXPECT_TRUE(stoppedAfterRun.get());
}

}  // namespace
