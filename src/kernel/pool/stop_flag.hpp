// The pool's side of stop_requested(): which batch's stop flag the bodies on
// this thread answer to.
#pragma once

#include <atomic>

namespace allotra {

// While it lives, stop_requested() on this thread reads `flag`. The pool binds
// a worker to the flag of the batch it takes part in, for exactly as long as
// the worker runs that batch's bodies; the batch (and its flag) outlives that
// span, since its submitter waits until every worker has left it. Bindings
// nest and unwind in order (a batch run on a worker inside another binds
// nothing new: its bodies answer to the outer batch's flag).
class StopFlagBinding {
public:
    explicit StopFlagBinding(const std::atomic<bool>& flag) noexcept;
    ~StopFlagBinding();
    StopFlagBinding(const StopFlagBinding&) = delete;
    StopFlagBinding& operator=(const StopFlagBinding&) = delete;

private:
    const std::atomic<bool>* const previous_;
};

}  // namespace allotra
