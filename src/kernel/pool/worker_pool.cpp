// The process's one pool: created by the first batch and never destroyed. A
// child created by fork builds a new one on its first batch, since the old
// pool's threads do not exist there and its mutexes may have been copied in a
// locked state.
#include "kernel/pool/worker_pool.hpp"

#include <atomic>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "kernel/error.hpp"
#include "kernel/platform/fork_generation.hpp"
#include "kernel/platform/platform.hpp"
#include "kernel/pool/worker_threads.hpp"

namespace allotra {

namespace {

// The pool of one process: a fork child leaves its parent's record alone
// (reading its stamp aside) and makes its own. The old record is leaked, never
// destroyed: its mutex may be held by a thread that does not exist in the
// child, and its pool's workers are gone.
struct PoolRecord {
    explicit PoolRecord(std::uint64_t generation) : generation(generation) {}

    const std::uint64_t generation;  // the fork generation of the process it belongs to
    std::mutex creation_mutex;
    std::atomic<WorkerThreads*> ready{nullptr};
};

std::atomic<PoolRecord*> current{nullptr};

// The record of this process, made on first use. Threads of one process all
// see the same fork generation, so when several find the record missing or
// inherited at once, the first to install a new one wins and the others use
// it; a losing record was never seen by anyone and is simply freed.
PoolRecord& current_record() {
    const std::uint64_t generation = fork_generation();
    PoolRecord* record = current.load(std::memory_order_acquire);
    while (record == nullptr || record->generation != generation) {
        auto* fresh = new PoolRecord(generation);
        if (current.compare_exchange_strong(record, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
            return *fresh;
        delete fresh;
    }
    return *record;
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
    fail("The global thread pool has not been initialized. " + reason +
         ". The worker threads that had started were stopped, and the next batch tries again; a smaller "
         "RAYON_NUM_THREADS may help.");
}

// A failed attempt leaves nothing behind (start() joins what it started), so
// the next batch simply tries again, reading the environment again.
WorkerThreads& create(PoolRecord& record) {
    std::lock_guard lock(record.creation_mutex);
    if (WorkerThreads* pool = record.ready.load(std::memory_order_relaxed)) return *pool;
    try {
        auto pool = std::make_unique<WorkerThreads>(size_from_environment());
        pool->start();
        // Never deleted from now on: detached workers hold it until the process ends.
        record.ready.store(pool.get(), std::memory_order_release);
        return *pool.release();
    } catch (const std::system_error& e) {
        fail_not_initialized(e.what());
    } catch (const std::bad_alloc&) {
        fail_not_initialized("Its worker threads could not be started: out of memory");
    }
}

WorkerThreads& the_pool() {
    PoolRecord& record = current_record();
    if (WorkerThreads* pool = record.ready.load(std::memory_order_acquire)) return *pool;
    return create(record);
}

// A batch that this thread runs itself, in index order: one submitted by a
// thread that is already part of a batch (a body that submits, or a Python
// signal handler that solves while the interrupt poll runs it), or one that
// found the pool held by another thread's batch.
void run_here(std::uint64_t k, const BatchBody& body, std::size_t slot) {
    std::exception_ptr first_failure;
    for (std::uint64_t index = 0; index < k; ++index) {
        if (stop_requested()) throw Cancelled();
        try {
            body(index, slot);
        } catch (...) {
            if (!first_failure) first_failure = std::current_exception();
        }
    }
    if (first_failure) std::rethrow_exception(first_failure);
}

void run_in(WorkerThreads& pool, std::uint64_t k, const BatchBody& body, InterruptScope& scope) {
    if (const auto slot = pool.slot_inside_batch()) return run_here(k, body, *slot);
    if (k == 1) return body(0, pool.size());
    if (k > std::numeric_limits<std::uint64_t>::max() - pool.size()) fail("capacity overflow");

    Batch batch(k, body);
    if (!pool.run(batch, scope)) return run_here(k, body, pool.size());
    if (batch.failure && !scope.stopped()) std::rethrow_exception(batch.failure);
}

}  // namespace

std::size_t pool_size() { return the_pool().size(); }

void run_batch(std::uint64_t k, const BatchBody& body, const InterruptPoll& interrupted) {
    WorkerThreads& pool = the_pool();
    if (k == 0) return;
    InterruptScope scope(interrupted);
    if (scope.stopped()) scope.throw_stop();
    // A stop requested by the caller wins over a failed body (typically the
    // body's own Cancelled): the caller is about to report its own reason.
    try {
        run_in(pool, k, body, scope);
    } catch (...) {
        if (scope.stopped()) scope.throw_stop();
        throw;
    }
    if (scope.stopped()) scope.throw_stop();
}

}  // namespace allotra
