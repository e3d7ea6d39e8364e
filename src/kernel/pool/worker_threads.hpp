// The threads of one pool and the hand-over of a batch to them. Which pool is
// the process's current one, and when it is created, is decided elsewhere
// (worker_pool.cpp); this part only schedules.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "kernel/pool/worker_pool.hpp"

namespace allotra {

// One batch in flight. It lives on the submitting thread's stack; the pool
// makes sure no worker touches it once the submitter has been released.
struct Batch {
    Batch(std::uint64_t k, const BatchBody& body) : k(k), body(body) {}

    // Claims and runs indices until none is left or a stop is requested;
    // meanwhile stop_requested() on this thread reads `stop`.
    void work(std::size_t worker);
    void record_failure(std::uint64_t index, std::exception_ptr failure);

    const std::uint64_t k;
    const BatchBody& body;
    // Indices are claimed one at a time, so long constructions never leave
    // a worker idle while short ones queue behind them.
    std::atomic<std::uint64_t> next_index{0};
    // Set by the submitter only (after its poll asked for a stop); read by
    // workers between indices and by bodies through stop_requested().
    std::atomic<bool> stop{false};
    // Workers inside work(); guarded by the pool's mutex.
    std::size_t participants = 0;
    // Set when the last participant leaves a batch with nothing left to claim,
    // so that the submitter can watch for the end without the lock.
    std::atomic<bool> settled{false};

    std::mutex failure_mutex;
    std::uint64_t failed_index = 0;
    std::exception_ptr failure;
};

class WorkerThreads {
public:
    explicit WorkerThreads(std::size_t size) : size_(size) {}
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Starts the threads and, once all run, detaches them: from then on the
    // object must outlive the process's last batch and is never destroyed.
    // When the operating system refuses a thread, those already started are
    // stopped and joined, and std::system_error (naming the thread) is thrown;
    // the object may then be destroyed.
    void start();

    std::size_t size() const { return size_; }

    // The slot of the calling thread when it is already part of a batch of
    // this pool: its number for a worker, size() for a submitter waiting in
    // run(). Such a thread must not hand the pool another batch: the pool
    // would wait for the thread, and the thread for the pool.
    std::optional<std::size_t> slot_inside_batch() const;

    // Hands the batch to the workers and blocks until none of them is inside
    // it any more, running the scope's poll every few milliseconds meanwhile
    // (a stop it reports is also recorded in the scope). Returns false, at
    // once and without running anything, when another thread's batch holds
    // the pool: waiting for it could be waiting for a thread that waits for
    // this one (see run_batch). Throws InternalError in a process forked
    // during the poll, whose copy of the batch has no workers to finish it.
    bool run(Batch& batch, InterruptScope& scope);

private:
    void worker_main(std::size_t worker);
    // The next batch to take part in, or null once the pool is being closed.
    Batch* join_next_batch(std::uint64_t& seen_generation);
    void close(std::vector<std::thread>& started);
    void leave(Batch& batch);
    bool finished(const Batch& batch) const;
    void wait_until_finished(Batch& batch, std::unique_lock<std::mutex>& lock, InterruptScope& scope);

    const std::size_t size_;
    // One batch at a time. Only ever tried, never waited for: a submitter
    // that finds it held runs its batch itself.
    std::mutex submit_mutex_;
    std::mutex mutex_;
    std::condition_variable work_available_;
    std::condition_variable workers_left_;
    Batch* current_ = nullptr;
    // Bumped under mutex_ for every batch; read without it by spinning workers.
    std::atomic<std::uint64_t> generation_{0};
    std::size_t sleepers_ = 0;
    // Set, under mutex_, only by a start that failed part-way.
    bool closing_ = false;
};

}  // namespace allotra
