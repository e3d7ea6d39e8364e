// The process's one pool: created by the first batch, never destroyed, and
// replaced by a fresh one in a child after fork, where the old pool's threads
// do not exist and its mutexes may have been copied in a locked state.
#include "kernel/worker_pool.hpp"

#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "kernel/error.hpp"
#include "kernel/platform/platform.hpp"
#include "kernel/worker_pool_testing.hpp"
#include "kernel/worker_threads.hpp"

namespace allotra {

namespace {

// Everything about one attempt to create the pool. A fork child or the test
// hook swaps in a new record and leaks the old one: touching the old record's
// mutex or threads there could block forever.
struct PoolRecord {
    std::mutex creation_mutex;
    std::atomic<WorkerThreads*> ready{nullptr};
    bool attempted = false;  // guarded by creation_mutex
    std::string failure;     // why the attempt failed; guarded by creation_mutex
};

std::atomic<PoolRecord*> replacement_record{nullptr};
std::atomic<bool> refuse_next_creation{false};

void start_over() { replacement_record.store(new PoolRecord, std::memory_order_release); }

PoolRecord& current_record() {
    if (PoolRecord* replaced = replacement_record.load(std::memory_order_acquire)) return *replaced;
    static PoolRecord* const first = [] {
        platform::at_fork_child(&start_over);
        return new PoolRecord;
    }();
    return *first;
}

std::size_t size_from_environment() {
    const auto threads = platform::environment_variable("RAYON_NUM_THREADS");
    const auto cpus = platform::environment_variable("RAYON_RS_NUM_CPUS");
    const auto view = [](const std::optional<std::string>& value) -> std::optional<std::string_view> {
        if (!value) return std::nullopt;
        return std::string_view(*value);
    };
    return pool_size_from(view(threads), view(cpus), platform::available_processors());
}

[[noreturn]] void fail_not_initialized(const std::string& reason) {
    fail("The global thread pool has not been initialized. Its worker threads could not be started: " +
         reason);
}

WorkerThreads& create_once(PoolRecord& record) {
    std::lock_guard lock(record.creation_mutex);
    if (WorkerThreads* pool = record.ready.load(std::memory_order_relaxed)) return *pool;
    if (!record.attempted) {
        record.attempted = true;
        try {
            // Never deleted: detached workers hold it until the process ends.
            auto* pool = new WorkerThreads(size_from_environment());
            pool->start(refuse_next_creation.exchange(false));
            record.ready.store(pool, std::memory_order_release);
            return *pool;
        } catch (const std::system_error& e) {
            record.failure = e.what();
        } catch (const std::bad_alloc&) {
            record.failure = "out of memory";
        }
    }
    fail_not_initialized(record.failure);
}

WorkerThreads& the_pool() {
    PoolRecord& record = current_record();
    if (WorkerThreads* pool = record.ready.load(std::memory_order_acquire)) return *pool;
    return create_once(record);
}

// A body that submits a batch of its own would wait for the pool it occupies;
// such a batch runs right here instead, in index order.
void run_on_this_worker(std::uint64_t k, const BatchBody& body, const InterruptPoll& interrupted,
                        std::size_t worker) {
    std::exception_ptr first_failure;
    for (std::uint64_t index = 0; index < k; ++index) {
        if (interrupted && interrupted()) throw Cancelled();
        try {
            body(index, worker);
        } catch (...) {
            if (!first_failure) first_failure = std::current_exception();
        }
    }
    if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace

std::size_t pool_size() { return the_pool().size(); }

void run_batch(std::uint64_t k, const BatchBody& body, const InterruptPoll& interrupted) {
    WorkerThreads& pool = the_pool();
    if (k == 0) return;
    if (pool.owns_current_thread()) return run_on_this_worker(k, body, interrupted, pool.current_worker());
    if (k == 1) return body(0, pool.size());
    if (k > std::numeric_limits<std::uint64_t>::max() - pool.size()) fail("capacity overflow");

    Batch batch(k, body);
    std::exception_ptr poll_failure;
    const bool stopped = pool.run(batch, interrupted, poll_failure);
    if (poll_failure) std::rethrow_exception(poll_failure);
    // A stop requested by the caller wins over a failed body: the caller is
    // about to report its own reason.
    if (stopped) throw Cancelled();
    if (batch.failure) std::rethrow_exception(batch.failure);
}

namespace testing {

void fail_next_pool_creation() {
    (void)current_record();  // registers the fork handler before the swap
    refuse_next_creation.store(true);
    start_over();
}

}  // namespace testing

}  // namespace allotra
