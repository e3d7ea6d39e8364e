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

#include "kernel/worker_pool.hpp"

namespace allotra {

// One batch in flight. It lives on the submitting thread's stack; the pool
// makes sure no worker touches it once the submitter has been released.
struct Batch {
    Batch(std::uint64_t k, const BatchBody& body) : k(k), body(body) {}

    // Claims and runs indices until none is left or a stop is requested.
    void work(std::size_t worker);
    void record_failure(std::uint64_t index, std::exception_ptr failure);

    const std::uint64_t k;
    const BatchBody& body;
    // Indices are claimed one at a time, so long constructions never leave
    // a worker idle while short ones queue behind them.
    std::atomic<std::uint64_t> next_index{0};
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

    // Starts the threads, detached: the object must outlive the process's
    // last batch and is never destroyed. Throws std::system_error when the
    // operating system refuses a thread.
    void start();

    std::size_t size() const { return size_; }

    // The slot of the calling thread when it is already part of a batch of
    // this pool: its number for a worker, size() for a submitter waiting in
    // run(). Such a thread must not hand the pool another batch: the pool
    // would wait for the thread, and the thread for the pool.
    std::optional<std::size_t> slot_inside_batch() const;

    // Hands the batch to the workers and blocks until none of them is inside
    // it any more. Returns true when `interrupted` asked for a stop (or threw:
    // its exception is then stored in `poll_failure`).
    bool run(Batch& batch, const InterruptPoll& interrupted, std::exception_ptr& poll_failure);

private:
    void worker_main(std::size_t worker);
    Batch& join_next_batch(std::uint64_t& seen_generation);
    void leave(Batch& batch);
    bool finished(const Batch& batch) const;
    bool wait_until_finished(Batch& batch, std::unique_lock<std::mutex>& lock,
                             const InterruptPoll& interrupted, std::exception_ptr& poll_failure);

    const std::size_t size_;
    std::mutex submit_mutex_;  // one batch at a time; other submitters queue here
    std::mutex mutex_;
    std::condition_variable work_available_;
    std::condition_variable workers_left_;
    Batch* current_ = nullptr;
    // Bumped under mutex_ for every batch; read without it by spinning workers.
    std::atomic<std::uint64_t> generation_{0};
    std::size_t sleepers_ = 0;
};

}  // namespace allotra
