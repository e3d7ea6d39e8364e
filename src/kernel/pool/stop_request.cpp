// stop_requested() and the calling thread's interrupt scopes.
//
// Three thread-local pointers decide the answer. A pool worker points at the
// stop flag of the batch it is running (StopFlagBinding), so its check is a
// relaxed load: the flag is only ever set, and a body that sees it a little
// late merely stops a little later. The thread that submits batches (the
// Python caller) points at its innermost InterruptScope, whose poll runs the
// caller's code (Python signal handlers) and so must only run on that thread,
// with whatever that thread holds; that is why the scope is thread-local and
// is never consulted from a worker. A thread that builds a construction of a
// run with a time limit points at the run's deadline (DeadlineBinding): a
// clock read, no lock, so the limit holds on every thread.
//
// Lifetimes: a worker's flag pointer is set only while it is inside the
// batch, and the submitter keeps the batch alive until every worker has left
// it. A scope pointer names a local of the same thread; scopes are unwound
// innermost first, each restoring its outer one, so the pointer never
// outlives what it names. A deadline binding is a local of the body it
// serves, and a scope hides it until the scope ends.
#include <chrono>
#include <utility>

#include "kernel/error.hpp"
#include "kernel/pool/deadline.hpp"
#include "kernel/pool/stop_flag.hpp"
#include "kernel/pool/worker_pool.hpp"

namespace allotra {

namespace {

thread_local const std::atomic<bool>* this_thread_stop_flag = nullptr;
thread_local InterruptScope* this_thread_scope = nullptr;
thread_local const Deadline* this_thread_deadline = nullptr;

// A poll that finds nothing costs little, but bodies check far more often
// than a person can notice; this keeps the cost of stop_requested() on the
// calling thread to a clock read between polls, with Ctrl-C still answered
// well within a tenth of a second.
constexpr auto poll_interval = std::chrono::milliseconds(2);

std::int64_t now_ticks() noexcept {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

const std::int64_t poll_interval_ticks =
    std::chrono::duration_cast<std::chrono::steady_clock::duration>(poll_interval).count();

}  // namespace

StopFlagBinding::StopFlagBinding(const std::atomic<bool>& flag) noexcept
    : previous_(std::exchange(this_thread_stop_flag, &flag)) {}

StopFlagBinding::~StopFlagBinding() { this_thread_stop_flag = previous_; }

DeadlineBinding::DeadlineBinding(const Deadline& deadline) noexcept
    : previous_(std::exchange(this_thread_deadline, &deadline)) {}

DeadlineBinding::~DeadlineBinding() { this_thread_deadline = previous_; }

bool stop_requested() noexcept {
    const std::atomic<bool>* flag = this_thread_stop_flag;
    if (flag != nullptr && flag->load(std::memory_order_relaxed)) return true;
    const Deadline* deadline = this_thread_deadline;
    if (deadline != nullptr && deadline->passed()) return true;
    InterruptScope* scope = this_thread_scope;
    return scope != nullptr && scope->poll_if_due();
}

InterruptScope::InterruptScope(const InterruptPoll& poll) noexcept
    : poll_(poll), outer_(std::exchange(this_thread_scope, this)),
      hidden_deadline_(std::exchange(this_thread_deadline, nullptr)) {
    stopped_ = outer_ != nullptr && outer_->stopped_;
}

// Scopes are locals of one thread, so they end innermost first.
InterruptScope::~InterruptScope() {
    this_thread_scope = outer_;
    this_thread_deadline = hidden_deadline_;
}

bool InterruptScope::poll_now() noexcept {
    if (stopped_) return true;
    if (!poll_) {
        stopped_ = outer_ != nullptr && outer_->poll_now();
        return stopped_;
    }
    next_poll_ = now_ticks() + poll_interval_ticks;
    // Only ever set here: a poll may run the caller's code, which may open a
    // nested scope and poll this one again before this call returns. The
    // unwind that ends a thread at the interpreter's shutdown never gets here:
    // the binding parks such a thread where it takes the lock back.
    try {
        if (poll_()) stopped_ = true;
    } catch (...) {
        poll_failure_ = std::current_exception();
        stopped_ = true;
    }
    return stopped_;
}

bool InterruptScope::poll_if_due() noexcept {
    if (stopped_) return true;
    if (!poll_) {
        stopped_ = outer_ != nullptr && outer_->poll_if_due();
        return stopped_;
    }
    if (next_poll_ != 0 && now_ticks() < next_poll_) return false;
    return poll_now();
}

bool InterruptScope::polls() const noexcept {
    return static_cast<bool>(poll_) || (outer_ != nullptr && outer_->polls());
}

void InterruptScope::throw_stop() const {
    if (poll_failure_) std::rethrow_exception(poll_failure_);
    if (!poll_ && outer_ != nullptr && outer_->stopped_) outer_->throw_stop();
    throw Cancelled();
}

}  // namespace allotra
