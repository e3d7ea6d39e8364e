// A moment after which a run stops, and the binding through which the
// constructions of that run see it.
#pragma once

#include <chrono>

namespace allotra {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // No deadline.
    Deadline() = default;
    // `seconds` (>= 0) from `start`; a span beyond a century is no deadline.
    static Deadline after(double seconds, Clock::time_point start = Clock::now()) {
        Deadline deadline;
        if (seconds < 3.2e9) {
            deadline.at_ = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds));
        }
        return deadline;
    }

    bool passed() const noexcept { return at_ != Clock::time_point::max() && Clock::now() >= at_; }

private:
    Clock::time_point at_ = Clock::time_point::max();
};

// While it lives, stop_requested() on this thread is also true once
// `deadline` has passed: a construction of a run with a time limit stops on
// any worker without waiting for the caller to notice. An InterruptScope
// opened meanwhile hides it (a signal handler's own solve is not bound by it).
class DeadlineBinding {
public:
    explicit DeadlineBinding(const Deadline& deadline) noexcept;
    ~DeadlineBinding();
    DeadlineBinding(const DeadlineBinding&) = delete;
    DeadlineBinding& operator=(const DeadlineBinding&) = delete;

private:
    const Deadline* const previous_;
};

}  // namespace allotra
