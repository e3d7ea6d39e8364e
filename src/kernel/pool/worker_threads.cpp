// The workers' loop, the hand-over of a batch, and the caller's wait for it.
#include "kernel/pool/worker_threads.hpp"

#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "kernel/error.hpp"
#include "kernel/platform/fork_generation.hpp"
#include "kernel/pool/spin_wait.hpp"
#include "kernel/pool/stop_flag.hpp"
#include "kernel/pool/worker_pool_testing.hpp"

namespace allotra {

namespace {

// An ant colony hands over a batch every few microseconds; a worker that has
// just finished one keeps watching for the next this long before it sleeps,
// which saves a wake-up per worker and batch without burning a core when the
// solver is idle. Neither spin happens while other processes keep the cores
// busy (see spin_until).
constexpr auto idle_spin = std::chrono::microseconds(50);
// A batch of short constructions is often over before a sleeping submitter
// could be woken; watching this long first avoids paying a wake-up for it.
constexpr auto caller_spin = std::chrono::microseconds(20);
constexpr auto interrupt_poll_interval = std::chrono::milliseconds(5);

// The pool this thread takes part in (a worker for good, a submitter while it
// waits for its batch) and its slot there.
thread_local const WorkerThreads* this_thread_pool = nullptr;
thread_local std::size_t this_thread_slot = 0;
// The batch this thread waits for as its submitter, so that a thread parked
// for good (park_this_thread) can still send the workers away from it.
thread_local Batch* this_thread_awaited_batch = nullptr;

// Marks the submitting thread as part of its batch while it waits: its
// interrupt poll runs code of the caller's (with Python, any signal handler),
// which may submit a batch of its own.
class SubmitterMark {
public:
    SubmitterMark(const WorkerThreads* pool, std::size_t slot, Batch& batch)
        : pool_(std::exchange(this_thread_pool, pool)), slot_(std::exchange(this_thread_slot, slot)),
          batch_(std::exchange(this_thread_awaited_batch, &batch)) {}
    SubmitterMark(const SubmitterMark&) = delete;
    SubmitterMark& operator=(const SubmitterMark&) = delete;
    ~SubmitterMark() {
        this_thread_pool = pool_;
        this_thread_slot = slot_;
        this_thread_awaited_batch = batch_;
    }

private:
    const WorkerThreads* pool_;
    std::size_t slot_;
    Batch* batch_;
};

}  // namespace

void Batch::work(std::size_t worker) {
    const StopFlagBinding answers_to(stop);
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

void WorkerThreads::start() {
    std::vector<std::thread> started;
    started.reserve(size_);
    try {
        for (std::size_t worker = 0; worker < size_; ++worker) {
            if (const auto hook = testing::thread_start_hook.load(std::memory_order_relaxed)) hook(worker, size_);
            started.emplace_back(&WorkerThreads::worker_main, this, worker);
        }
    } catch (const std::system_error& refused) {
        close(started);
        throw std::system_error(refused.code(), "Worker thread " + std::to_string(started.size() + 1) + " of " +
                                                    std::to_string(size_) + " could not be started");
    } catch (...) {
        close(started);
        throw;
    }
    for (std::thread& thread : started) thread.detach();
}

// A pool that cannot have all its threads is given up whole rather than run
// with those that started: a refusal usually means the process has run out of
// threads or address space, and keeping the rest would leave it with none to
// spare for anything else.
void WorkerThreads::close(std::vector<std::thread>& started) {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        // Ends the spinning of workers that watch for a batch.
        generation_.fetch_add(1, std::memory_order_release);
    }
    work_available_.notify_all();
    for (std::thread& thread : started) thread.join();
}

std::optional<std::size_t> WorkerThreads::slot_inside_batch() const {
    if (this_thread_pool != this) return std::nullopt;
    return this_thread_slot;
}

void WorkerThreads::worker_main(std::size_t worker) {
    testing::threads_running.fetch_add(1, std::memory_order_relaxed);
    this_thread_pool = this;
    this_thread_slot = worker;
    std::uint64_t seen_generation = 0;  // threads start before the first batch
    while (Batch* batch = join_next_batch(seen_generation)) {
        batch->work(worker);
        leave(*batch);
    }
    testing::threads_running.fetch_sub(1, std::memory_order_relaxed);
}

Batch* WorkerThreads::join_next_batch(std::uint64_t& seen_generation) {
    spin_until([&] { return generation_.load(std::memory_order_acquire) != seen_generation; }, idle_spin, size_ + 1);
    std::unique_lock lock(mutex_);
    while (!closing_ && (current_ == nullptr || generation_.load(std::memory_order_relaxed) == seen_generation)) {
        ++sleepers_;
        work_available_.wait(lock);
        --sleepers_;
    }
    if (closing_) return nullptr;
    seen_generation = generation_.load(std::memory_order_relaxed);
    ++current_->participants;
    return current_;
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

bool WorkerThreads::run(Batch& batch, InterruptScope& scope) {
    std::unique_lock submit(submit_mutex_, std::try_to_lock);
    if (!submit.owns_lock()) return false;
    const SubmitterMark mark(this, size_, batch);
    std::unique_lock lock(mutex_);
    current_ = &batch;
    generation_.fetch_add(1, std::memory_order_release);
    const bool wake = sleepers_ > 0;
    lock.unlock();
    if (wake) work_available_.notify_all();
    spin_until([&] { return batch.settled.load(std::memory_order_acquire); }, caller_spin, size_ + 1);
    lock.lock();
    wait_until_finished(batch, lock, scope);
    // Withdrawn under the same lock that saw it finished: no worker can join
    // it any more, so the caller may destroy it.
    current_ = nullptr;
    return true;
}

// The poll runs with neither of the pool's mutexes' waits pending on it: it
// runs the caller's code, which may take locks of its own (the interpreter
// lock) that a worker never needs, and may itself submit a batch (which then
// runs on this thread, see SubmitterMark, or, from another thread, finds the
// pool held and runs there). Holding submit_mutex_ across it is harmless for
// that reason: nobody ever blocks on submit_mutex_.
void WorkerThreads::wait_until_finished(Batch& batch, std::unique_lock<std::mutex>& lock, InterruptScope& scope) {
    const auto done = [&] { return finished(batch); };
    if (!scope.polls()) {
        workers_left_.wait(lock, done);
        return;
    }
    const std::uint64_t process = fork_generation();
    while (!workers_left_.wait_for(lock, interrupt_poll_interval, done)) {
        lock.unlock();
        const bool stop = scope.poll_now();
        // A poll that forked (a signal handler calling fork) returns twice. In
        // the child the workers are gone and mutex_ may have been copied while
        // a worker held it, so nothing of this pool is touched there again.
        if (fork_generation() != process) {
            // The poll's own failure (say, a callback's that names the fork) says more.
            if (stop) scope.throw_stop();
            fail("A batch cannot finish in a process forked while it ran: its worker threads exist only in "
                 "the parent process.");
        }
        lock.lock();
        if (stop) {
            batch.stop.store(true, std::memory_order_relaxed);
            workers_left_.wait(lock, done);
            return;
        }
    }
}

// The batch stays the pool's current one for good, on the parked thread's
// stack, which is never unwound: its workers leave it at their next check and
// sleep, and a later submitter finds the pool held and runs its batch itself.
void park_this_thread() {
    if (Batch* batch = this_thread_awaited_batch) batch->stop.store(true, std::memory_order_relaxed);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool waiting_for_batch() { return this_thread_awaited_batch != nullptr; }

namespace testing {

std::atomic<ThreadStartHook> thread_start_hook{nullptr};
std::atomic<std::size_t> threads_running{0};

}  // namespace testing

}  // namespace allotra
