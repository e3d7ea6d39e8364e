#include "kernel/worker_threads.hpp"

#include <chrono>
#include <system_error>
#include <thread>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#define ALLOTRA_CPU_RELAX() _mm_pause()
#elif defined(__aarch64__)
#define ALLOTRA_CPU_RELAX() __asm__ __volatile__("yield")
#else
#define ALLOTRA_CPU_RELAX() std::this_thread::yield()
#endif

namespace allotra {

namespace {

// An ant colony hands over a batch every few microseconds; a worker that has
// just finished one keeps watching for the next this long before it sleeps,
// which saves a wake-up per worker and batch without burning a core when the
// solver is idle.
constexpr auto idle_spin = std::chrono::microseconds(50);
// A batch of short constructions is often over before a sleeping submitter
// could be woken; watching this long first avoids paying a wake-up for it.
// Both spins yield the processor, so they do not starve the workers when
// there are no more cores than threads.
constexpr auto caller_spin = std::chrono::microseconds(20);
constexpr auto interrupt_poll_interval = std::chrono::milliseconds(5);

thread_local const WorkerThreads* this_thread_pool = nullptr;
thread_local std::size_t this_thread_worker = 0;

}  // namespace

void Batch::work(std::size_t worker) {
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        // Each worker overshoots k at most once per batch, so the counter
        // cannot wrap as long as k <= 2^64 - 1 - pool size.
        const std::uint64_t index = next_index.fetch_add(1, std::memory_order_relaxed);
        if (index >= k) return;
        try {
            body(index, worker);
        } catch (...) {
            record_failure(index, std::current_exception());
        }
    }
}

void Batch::record_failure(std::uint64_t index, std::exception_ptr thrown) {
    std::lock_guard lock(failure_mutex);
    if (!failure || index < failed_index) {
        failure = std::move(thrown);
        failed_index = index;
    }
}

void WorkerThreads::start(bool refuse_last) {
    for (std::size_t worker = 0; worker < size_; ++worker) {
        if (refuse_last && worker + 1 == size_)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "thread start refused for a test");
        std::thread(&WorkerThreads::worker_main, this, worker).detach();
    }
}

bool WorkerThreads::owns_current_thread() const { return this_thread_pool == this; }

std::size_t WorkerThreads::current_worker() const { return this_thread_worker; }

void WorkerThreads::worker_main(std::size_t worker) {
    this_thread_pool = this;
    this_thread_worker = worker;
    std::uint64_t seen_generation = 0;  // threads start before the first batch
    for (;;) {
        Batch& batch = join_next_batch(seen_generation);
        batch.work(worker);
        leave(batch);
    }
}

Batch& WorkerThreads::join_next_batch(std::uint64_t& seen_generation) {
    using clock = std::chrono::steady_clock;
    const auto spin_end = clock::now() + idle_spin;
    for (unsigned round = 1; generation_.load(std::memory_order_acquire) == seen_generation; ++round) {
        ALLOTRA_CPU_RELAX();
        if (round % 16 == 0) {
            std::this_thread::yield();
            if (clock::now() >= spin_end) break;
        }
    }
    std::unique_lock lock(mutex_);
    while (current_ == nullptr || generation_.load(std::memory_order_relaxed) == seen_generation) {
        ++sleepers_;
        work_available_.wait(lock);
        --sleepers_;
    }
    seen_generation = generation_.load(std::memory_order_relaxed);
    ++current_->participants;
    return *current_;
}

void WorkerThreads::leave(Batch& batch) {
    std::lock_guard lock(mutex_);
    // After this the batch may be gone: the submitter only waits for the count.
    if (--batch.participants == 0) {
        if (finished(batch)) batch.settled.store(true, std::memory_order_release);
        workers_left_.notify_one();
    }
}

// Every claimed index belongs to a participant, so with no participant left
// and nothing left to claim, every index that will ever run has run.
bool WorkerThreads::finished(const Batch& batch) const {
    return batch.participants == 0 &&
           (batch.stop.load(std::memory_order_relaxed) ||
            batch.next_index.load(std::memory_order_relaxed) >= batch.k);
}

bool WorkerThreads::run(Batch& batch, const InterruptPoll& interrupted, std::exception_ptr& poll_failure) {
    std::lock_guard submit(submit_mutex_);
    std::unique_lock lock(mutex_);
    current_ = &batch;
    generation_.fetch_add(1, std::memory_order_release);
    const bool wake = sleepers_ > 0;
    lock.unlock();
    if (wake) work_available_.notify_all();
    wait_briefly_for_settled(batch);
    lock.lock();
    const bool stopped = wait_until_finished(batch, lock, interrupted, poll_failure);
    // Withdrawn under the same lock that saw it finished: no worker can join
    // it any more, so the caller may destroy it.
    current_ = nullptr;
    return stopped;
}

void WorkerThreads::wait_briefly_for_settled(const Batch& batch) {
    using clock = std::chrono::steady_clock;
    const auto spin_end = clock::now() + caller_spin;
    for (unsigned round = 1; !batch.settled.load(std::memory_order_acquire); ++round) {
        ALLOTRA_CPU_RELAX();
        if (round % 16 == 0) {
            std::this_thread::yield();
            if (clock::now() >= spin_end) return;
        }
    }
}

bool WorkerThreads::wait_until_finished(Batch& batch, std::unique_lock<std::mutex>& lock,
                                        const InterruptPoll& interrupted,
                                        std::exception_ptr& poll_failure) {
    const auto done = [&] { return finished(batch); };
    if (!interrupted) {
        workers_left_.wait(lock, done);
        return false;
    }
    while (!workers_left_.wait_for(lock, interrupt_poll_interval, done)) {
        lock.unlock();
        bool stop = false;
        try {
            stop = interrupted();
        } catch (...) {
            poll_failure = std::current_exception();
            stop = true;
        }
        lock.lock();
        if (stop) {
            batch.stop.store(true, std::memory_order_relaxed);
            workers_left_.wait(lock, done);
            return true;
        }
    }
    return false;
}

}  // namespace allotra
