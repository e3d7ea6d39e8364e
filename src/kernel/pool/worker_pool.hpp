// The process-wide pool of worker threads that runs a batch of independent
// constructions. Threads start on the first batch of the process (and again in
// a child after fork), idle workers sleep, and indices are handed out one at a
// time so that constructions of very different lengths keep every worker busy.
//
// This header is the face of the pool's room, kernel/pool/: the pool and its
// threads, the pool size, the stop request (stop flags, interrupt scopes,
// deadlines), the short spin wait and the per-cell passes in chunks. The room
// may include the kernel's records at its root (error.hpp) and
// kernel/platform/; nothing of the random source or the vectorised kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>

namespace allotra {

// The pool size rule: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the
// processor count (1 if 0), capped at 65535. Each value must be a whole
// unsigned decimal number with an optional leading '+'; 0 in the first
// variable selects the processor count and skips the second.
std::size_t pool_size_from(std::optional<std::string_view> rayon_num_threads,
                           std::optional<std::string_view> rayon_rs_num_cpus,
                           std::size_t processors);

// Number of worker threads; creates the pool on first use (reading the two
// environment variables then, and only then).
std::size_t pool_size();

// Runs body(index, worker) for every index in [0, k). `worker` identifies the
// thread that runs it: 0 .. pool_size() - 1 for the pool's workers and
// pool_size() for the calling thread, so a body may keep per-worker state in
// an array of pool_size() + 1 slots.
//
// k == 1 runs on the calling thread; k >= 2 runs on the pool while the caller
// sleeps. A batch submitted from inside another (by a body, or by the
// interrupt poll of a waiting caller), or while another thread's batch holds
// the pool, runs on the submitting thread, in index order, with that thread's
// worker number: a thread never waits for a pool that may in turn be waiting
// for it (through the caller's own locks, such as Python's interpreter lock).
// If bodies throw, every other index still runs and the exception of the
// lowest failing index is rethrown here.
//
// `interrupted`, when given, becomes the calling thread's interrupt poll for
// the batch (see InterruptScope); without it, the poll of an enclosing scope
// applies. Once a poll reports true, no further index starts, running bodies
// see stop_requested() and finish (or throw Cancelled), and Cancelled is
// thrown here (or the poll's own exception, if it threw).
//
// If the operating system refuses one of the pool's threads, those already
// started are stopped and joined, and the batch (or pool_size()) throws
// InternalError "The global thread pool has not been initialized. ..."; the
// next one tries again, reading the environment again. A process forked while
// one of its threads waited for a batch cannot finish that batch (its workers
// stay in the parent): the wait ends with InternalError in the child.
using BatchBody = std::function<void(std::uint64_t index, std::size_t worker)>;
using InterruptPoll = std::function<bool()>;

void run_batch(std::uint64_t k, const BatchBody& body, const InterruptPoll& interrupted = {});

// True on a thread that runs a body of a batch which has been asked to stop;
// a long body (a construction, a per-cell pass) calls it every few thousand
// steps and, when it is true, throws Cancelled. On a pool worker it is one
// relaxed atomic load through a thread-local pointer. On a thread that has an
// InterruptScope (the caller of a solve, which runs batches of one and
// batches it could not hand over itself) it also runs the scope's poll, at
// most every couple of milliseconds, so such bodies stop as quickly. False on
// any other thread. Once true, it stays true until the batch has ended.
bool stop_requested() noexcept;

// Blocks the calling thread for the rest of the process, after asking the
// workers to leave the batch it waits for, if any: for a thread that must not
// go on and cannot end either (the interpreter ends a thread that takes its
// lock back during shutdown by unwinding its stack, through frames that
// cannot be unwound).
[[noreturn]] void park_this_thread();

// Whether the calling thread is waiting for a batch it handed to the pool
// (so it runs in that batch's interrupt poll).
bool waiting_for_batch();

// Makes `poll` the calling thread's interrupt poll while the scope lives: for
// every batch the thread submits and for stop_requested() on it. A solver
// opens one for the whole solve, so that the passes between its batches stop
// too. Scopes nest; an empty poll defers to the enclosing scope's, and a scope
// opened inside a stopped one starts stopped. `poll` must outlive the scope,
// and the scope must end on the thread that opened it (it is a local
// variable).
class InterruptScope {
public:
    explicit InterruptScope(const InterruptPoll& poll) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // Runs the poll now; true once any poll of this scope (or, for an empty
    // poll, of the enclosing one) has reported true or thrown.
    bool poll_now() noexcept;
    // The same, but runs the poll only if the last run is a couple of
    // milliseconds old; otherwise only reports an earlier stop.
    bool poll_if_due() noexcept;
    bool stopped() const noexcept { return stopped_; }
    // Whether this scope or an enclosing one has a poll at all.
    bool polls() const noexcept;
    // What a stop means to the caller: the poll's own exception if it threw,
    // Cancelled otherwise.
    [[noreturn]] void throw_stop() const;

private:
    const InterruptPoll& poll_;
    InterruptScope* const outer_;
    const class Deadline* const hidden_deadline_;  // a binding of the enclosing code, restored at the end
    std::int64_t next_poll_ = 0;  // steady clock ticks; 0 polls at the first chance
    bool stopped_ = false;
    std::exception_ptr poll_failure_;
};

}  // namespace allotra
