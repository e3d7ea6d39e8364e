// The process-wide pool of worker threads that runs a batch of independent
// constructions. Threads start on the first batch of the process (and again in
// a child after fork), idle workers sleep, and indices are handed out one at a
// time so that constructions of very different lengths keep every worker busy.
#pragma once

#include <cstddef>
#include <cstdint>
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
// interrupt poll of a waiting caller) runs on the submitting thread, in index
// order, with that thread's worker number. If bodies throw, every other index still runs and the exception of
// the lowest failing index is rethrown here. `interrupted`, when given, is
// polled by the waiting caller every few milliseconds; once it returns true no
// further index starts, running ones finish, and Cancelled is thrown.
//
// Creation of the pool's threads is attempted once per process (per fork
// child); if it fails, this and every later batch throw InternalError
// "The global thread pool has not been initialized."
using BatchBody = std::function<void(std::uint64_t index, std::size_t worker)>;
using InterruptPoll = std::function<bool()>;

void run_batch(std::uint64_t k, const BatchBody& body, const InterruptPoll& interrupted = {});

}  // namespace allotra
