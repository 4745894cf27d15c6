// A callable run on a thread of its own: at once, then again each time the period has passed
// after the previous run ended. Destroying the task stops it: a wait in progress is woken at
// once, a run in progress finishes first, and the thread is joined before the destructor
// returns. Nothing thrown by the action leaves the thread (an empty action counts as a throw);
// the next run goes on as planned.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <thread>

namespace Kestro::Perf {

class PeriodicTask {
public:
    // Starts the thread; throws std::system_error when it cannot be started.
    PeriodicTask(std::function<void()> action, uint64_t periodMs);
    ~PeriodicTask();
    PeriodicTask(const PeriodicTask&) = delete;
    PeriodicTask& operator=(const PeriodicTask&) = delete;

private:
    void Run(std::future<bool> stop);

    std::function<void()> action_;
    uint64_t periodMs_;
    std::promise<bool> stop_;
    std::thread thread_;
};

}  // namespace Kestro::Perf
