#include "perf/periodic_task.h"

#include <chrono>

namespace Kestro::Perf {

namespace {

// The longest single wait: a period of up to 2^32 seconds would overflow a clock's
// representation when added to its current time, so a long period is waited in slices.
constexpr std::chrono::hours kLongestWait{24};

}  // namespace

PeriodicTask::PeriodicTask(std::function<void()> action, uint64_t periodMs)
    : action_(std::move(action)), periodMs_(periodMs) {
    thread_ = std::thread(&PeriodicTask::Run, this, stop_.get_future());
}

PeriodicTask::~PeriodicTask() {
    stop_.set_value(true);
    thread_.join();
}

void PeriodicTask::Run(std::future<bool> stop) {
    for (;;) {
        try {
            action_();
        } catch (...) {
            // The action reports its own failures; the next run tries again.
        }
        std::chrono::milliseconds left{static_cast<int64_t>(periodMs_)};
        do {
            const auto slice = left < kLongestWait ? left : std::chrono::milliseconds(kLongestWait);
            if (stop.wait_for(slice) == std::future_status::ready) return;
            left -= slice;
        } while (left.count() > 0);
    }
}

}  // namespace Kestro::Perf
