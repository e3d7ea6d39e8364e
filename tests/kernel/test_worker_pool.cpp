// The worker pool: its size rule, that a batch runs every index exactly once
// into its own slot (also under heavy contention), failure and interrupt
// handling, concurrent submitters, the fresh pool of a fork child, and a pool
// whose threads refuse to start.
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "harness.hpp"
#include "kernel/error.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "kernel/pool/worker_pool_testing.hpp"
#include "kernel/pool/chunked.hpp"

namespace {

using allotra::pool_size;
using allotra::pool_size_from;
using allotra::run_batch;
using std::optional;
using std::string_view;
using namespace std::chrono_literals;

constexpr auto unset = std::nullopt;

TEST(pool_size_rule_prefers_rayon_num_threads) {
    CHECK_EQ(pool_size_from("3", "5", 8), 3u);
    CHECK_EQ(pool_size_from("+3", "5", 8), 3u);
    CHECK_EQ(pool_size_from("0003", unset, 8), 3u);
    // 0 asks for the processor count and the second variable is not consulted.
    CHECK_EQ(pool_size_from("0", "5", 8), 8u);
    CHECK_EQ(pool_size_from("+0", "5", 8), 8u);
    CHECK_EQ(pool_size_from("0", "5", 0), 1u);
}

TEST(pool_size_rule_falls_through_on_unparsable_values) {
    const char* unparsable[] = {" 3", "3 ", "-3", "", "+", "++3", "3x", "x3", "3.0", "0x3",
                                "18446744073709551616", "99999999999999999999"};
    for (const char* text : unparsable) {
        if (pool_size_from(text, "5", 8) != 5u) {
            CHECK(!"an unparsable RAYON_NUM_THREADS must fall through to RAYON_RS_NUM_CPUS");
            std::printf("    value: '%s'\n", text);
        }
        if (pool_size_from(unset, text, 8) != 8u) {
            CHECK(!"an unparsable RAYON_RS_NUM_CPUS must give the processor count");
            std::printf("    value: '%s'\n", text);
        }
    }
    // The largest 64-bit value still parses (and is then capped).
    CHECK_EQ(pool_size_from("18446744073709551615", "5", 8), 65535u);
}

TEST(pool_size_rule_second_variable_and_default) {
    CHECK_EQ(pool_size_from(unset, "5", 8), 5u);
    CHECK_EQ(pool_size_from(unset, "+5", 8), 5u);
    CHECK_EQ(pool_size_from(unset, "0", 8), 8u);
    CHECK_EQ(pool_size_from(unset, unset, 8), 8u);
    CHECK_EQ(pool_size_from(unset, unset, 0), 1u);
    CHECK_EQ(pool_size_from(unset, unset, 1), 1u);
}

TEST(pool_size_rule_caps_at_65535) {
    CHECK_EQ(pool_size_from("100000", unset, 8), 65535u);
    CHECK_EQ(pool_size_from("65535", unset, 8), 65535u);
    CHECK_EQ(pool_size_from("65536", unset, 8), 65535u);
    CHECK_EQ(pool_size_from(unset, "100000", 8), 65535u);
    CHECK_EQ(pool_size_from(unset, unset, 100000), 65535u);
}

// Each index writes its own slot of a vector reserved once, as the solvers do.
TEST(pool_batch_fills_every_slot_once_in_index_order) {
    const std::size_t workers = pool_size();
    REQUIRE(workers >= 1);
    for (std::uint64_t k : {2u, 3u, 20u, 1000u}) {
        std::vector<std::uint64_t> slots(k, 0);
        const std::uint64_t* storage = slots.data();
        std::vector<std::atomic<int>> runs(k);
        std::atomic<bool> bad_worker{false};
        run_batch(k, [&](std::uint64_t index, std::size_t worker) {
            if (worker >= workers) bad_worker = true;
            runs[index].fetch_add(1);
            slots[index] = index * index + 7;
        });
        CHECK(slots.data() == storage);
        CHECK(!bad_worker);
        for (std::uint64_t i = 0; i < k; ++i) {
            CHECK_EQ(runs[i].load(), 1);
            CHECK_EQ(slots[i], i * i + 7);
        }
    }
}

// Per-worker state relies on a worker number naming one thread for good: the
// numbers stay below the pool size, each belongs to one thread and each thread
// to one number, across batches (threads are started once, not per batch).
TEST(pool_worker_numbers_name_long_lived_threads) {
    const std::size_t workers = pool_size();
    std::mutex mutex;
    std::map<std::size_t, std::set<std::thread::id>> threads_of_worker;
    std::map<std::thread::id, std::set<std::size_t>> workers_of_thread;
    for (int repeat = 0; repeat < 100; ++repeat) {
        // Bodies that take a while, so that every worker gets some.
        run_batch(20, [&](std::uint64_t, std::size_t worker) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            std::lock_guard lock(mutex);
            threads_of_worker[worker].insert(std::this_thread::get_id());
            workers_of_thread[std::this_thread::get_id()].insert(worker);
        });
    }
    CHECK(!threads_of_worker.empty());
    CHECK(threads_of_worker.rbegin()->first < workers);
    for (const auto& [worker, threads] : threads_of_worker) CHECK_EQ(threads.size(), 1u);
    for (const auto& [thread, numbers] : workers_of_thread) CHECK_EQ(numbers.size(), 1u);
    CHECK(workers_of_thread.count(std::this_thread::get_id()) == 0);
}

TEST(pool_empty_batch_runs_nothing) {
    std::atomic<int> runs{0};
    run_batch(0, [&](std::uint64_t, std::size_t) { ++runs; });
    CHECK_EQ(runs.load(), 0);
}

// Such a batch could never have its result slots anyway; refusing it keeps
// the index counter from wrapping around.
TEST(pool_batch_too_large_to_count_is_refused) {
    std::atomic<int> runs{0};
    CHECK_THROWS_WITH(run_batch(UINT64_MAX, [&](std::uint64_t, std::size_t) { ++runs; }),
                      allotra::InternalError, "capacity overflow");
    CHECK_EQ(runs.load(), 0);
}

TEST(pool_single_index_runs_on_calling_thread) {
    const auto caller = std::this_thread::get_id();
    std::optional<std::thread::id> ran_on;
    std::size_t worker = 0;
    std::uint64_t ran_index = 99;
    run_batch(1, [&](std::uint64_t index, std::size_t w) {
        ran_on = std::this_thread::get_id();
        worker = w;
        ran_index = index;
    });
    REQUIRE(ran_on.has_value());
    CHECK(*ran_on == caller);
    CHECK_EQ(worker, pool_size());
    CHECK_EQ(ran_index, 0u);
    CHECK_THROWS_WITH(run_batch(1, [](std::uint64_t, std::size_t) { allotra::fail("single"); }),
                      allotra::InternalError, "single");
}

// The type and whole message of what `call` throws: a message that merely
// contains the expected one ("failed at 150" for "failed at 1") is wrong.
std::string message_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const allotra::InternalError& e) {
        return std::string("InternalError: ") + e.what();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "nothing thrown";
}

// The lowest failing index wins even when a higher one fails first in time,
// and the other indices, failed or not, all still run.
TEST(pool_failure_of_lowest_index_is_rethrown_after_all_ran) {
    for (int repeat = 0; repeat < 20; ++repeat) {
        constexpr std::uint64_t k = 200;
        std::vector<std::atomic<int>> runs(k);
        const auto body = [&](std::uint64_t index, std::size_t) {
            runs[index].fetch_add(1);
            if (index == 3) {
                std::this_thread::sleep_for(2ms);
                allotra::fail("failed at 3");
            }
            if (index == 1 || index == 150 || index == k - 1) {
                // index 1 usually starts before 3; make it fail after it.
                if (index == 1) std::this_thread::sleep_for(4ms);
                throw std::runtime_error("failed at " + std::to_string(index));
            }
        };
        CHECK_EQ(message_of([&] { run_batch(k, body); }), "failed at 1");
        for (std::uint64_t i = 0; i < k; ++i) CHECK_EQ(runs[i].load(), 1);
    }
    // Without index 1, the internal error of index 3 is the one raised.
    std::atomic<int> total{0};
    CHECK_EQ(message_of([&] {
                 run_batch(50, [&](std::uint64_t index, std::size_t) {
                     ++total;
                     if (index == 40) throw std::runtime_error("failed at 40");
                     if (index == 3) {
                         std::this_thread::sleep_for(2ms);
                         allotra::fail("failed at 3");
                     }
                 });
             }),
             "InternalError: failed at 3");
    CHECK_EQ(total.load(), 50);
}

TEST(pool_interrupt_stops_starting_indices_and_cancels) {
    constexpr std::uint64_t k = 10000;
    std::atomic<std::uint64_t> started{0};
    std::atomic<std::uint64_t> finished{0};
    const auto slow_body = [&](std::uint64_t, std::size_t) {
        ++started;
        std::this_thread::sleep_for(1ms);
        ++finished;
    };
    int polls = 0;
    const auto poll = [&] {
        ++polls;
        return started.load() >= 10;
    };
    const auto began = std::chrono::steady_clock::now();
    CHECK_THROWS_WITH(run_batch(k, slow_body, poll), allotra::Cancelled, "");
    const auto took = std::chrono::steady_clock::now() - began;
    CHECK(polls >= 1);
    CHECK(started.load() >= 10);
    CHECK(started.load() < k);
    // Bodies that had started were waited for, and none starts afterwards.
    CHECK_EQ(finished.load(), started.load());
    const std::uint64_t after_return = started.load();
    std::this_thread::sleep_for(20ms);
    CHECK_EQ(started.load(), after_return);
    CHECK(took < 5s);  // a hang bound, not a speed claim: the batch alone would take 5+ s

    // The pool is usable afterwards.
    std::atomic<int> runs{0};
    run_batch(20, [&](std::uint64_t, std::size_t) { ++runs; });
    CHECK_EQ(runs.load(), 20);
}

// Bodies that would never end on their own stop through stop_requested(),
// on the workers and on the calling thread (a batch of one, or a batch that a
// busy pool leaves to its submitter), whose poll runs only on that thread.
TEST(pool_stop_requested_ends_endless_bodies) {
    const auto caller = std::this_thread::get_id();
    for (std::uint64_t k : {1u, 2u, 50u}) {
        std::atomic<int> polls_off_caller{0};
        std::atomic<std::uint64_t> started{0};
        const auto endless = [&](std::uint64_t, std::size_t) {
            ++started;
            while (!allotra::stop_requested()) std::this_thread::sleep_for(100us);
            throw allotra::Cancelled();
        };
        int polls = 0;
        const auto poll = [&] {
            if (std::this_thread::get_id() != caller) ++polls_off_caller;
            return ++polls > 3;
        };
        CHECK(!allotra::stop_requested());
        CHECK_THROWS_WITH(run_batch(k, endless, poll), allotra::Cancelled, "");
        CHECK(!allotra::stop_requested());
        CHECK_EQ(polls_off_caller.load(), 0);
        CHECK(started.load() >= 1);
        CHECK(started.load() <= std::min<std::uint64_t>(k, pool_size()));
    }
    // A scope's stop reaches every batch inside it, with no poll of their own.
    const allotra::InterruptPoll stop_at_once = [] { return true; };
    allotra::InterruptScope scope(stop_at_once);
    std::atomic<int> runs{0};
    CHECK_THROWS_WITH(run_batch(1, [&](std::uint64_t, std::size_t) {
                          while (!allotra::stop_requested()) ++runs;
                          throw allotra::Cancelled();
                      }),
                      allotra::Cancelled, "");
    CHECK_THROWS_WITH(run_batch(20, [&](std::uint64_t, std::size_t) { ++runs; }), allotra::Cancelled, "");
    CHECK_EQ(runs.load(), 0);
}

// The per-cell passes between a solver's batches answer to its scope too.
TEST(pool_chunked_pass_stops_with_its_scope) {
    std::atomic<int> polls{0};
    const allotra::InterruptPoll poll = [&] { return ++polls > 2; };
    allotra::InterruptScope scope(poll);
    std::atomic<std::uint64_t> chunks{0};
    CHECK_THROWS_WITH(allotra::run_in_chunks(
                          1000, [&](std::uint64_t, std::uint64_t) {
                              ++chunks;
                              std::this_thread::sleep_for(2ms);
                          },
                          1),
                      allotra::Cancelled, "");
    CHECK(chunks.load() < 1000);
    CHECK(polls.load() >= 3);
}

TEST(pool_interrupt_wins_over_failed_body) {
    std::atomic<std::uint64_t> started{0};
    const auto failing_body = [&](std::uint64_t, std::size_t) {
        ++started;
        std::this_thread::sleep_for(1ms);
        throw std::runtime_error("body failed");
    };
    CHECK_THROWS_WITH(run_batch(10000, failing_body, [&] { return started.load() >= 4; }),
                      allotra::Cancelled, "");
    CHECK(started.load() < 10000);
}

TEST(pool_interrupt_poll_that_throws_is_rethrown_after_workers_stop) {
    std::atomic<std::uint64_t> started{0};
    std::atomic<std::uint64_t> finished{0};
    const auto slow_body = [&](std::uint64_t, std::size_t) {
        ++started;
        std::this_thread::sleep_for(1ms);
        ++finished;
    };
    const auto throwing_poll = [&]() -> bool {
        if (started.load() >= 5) throw std::runtime_error("poll failed");
        return false;
    };
    CHECK_THROWS_WITH(run_batch(10000, slow_body, throwing_poll), std::runtime_error, "poll failed");
    CHECK(started.load() < 10000);
    CHECK_EQ(finished.load(), started.load());
}

TEST(pool_interrupt_that_never_fires_lets_the_batch_complete) {
    std::atomic<int> runs{0};
    run_batch(
        40,
        [&](std::uint64_t, std::size_t) {
            std::this_thread::sleep_for(1ms);
            ++runs;
        },
        [] { return false; });
    CHECK_EQ(runs.load(), 40);
}

TEST(pool_concurrent_submitters_each_get_complete_batches) {
    constexpr int submitters = 4;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < submitters; ++s) {
        threads.emplace_back([&, s] {
            for (int repeat = 0; repeat < 300; ++repeat) {
                const std::uint64_t k = 2 + static_cast<std::uint64_t>((repeat * 7 + s * 13) % 40);
                std::vector<std::uint64_t> slots(k, 0);
                try {
                    run_batch(k, [&](std::uint64_t index, std::size_t) { slots[index] += index + 1; });
                } catch (...) {
                    ++wrong;
                    continue;
                }
                for (std::uint64_t i = 0; i < k; ++i)
                    if (slots[i] != i + 1) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    CHECK_EQ(wrong.load(), 0);
}

// A body that submits a batch of its own gets it run, instead of waiting for a
// pool it occupies.
TEST(pool_nested_batch_runs_on_the_submitting_worker) {
    std::atomic<int> inner_runs{0};
    std::atomic<int> off_thread{0};
    run_batch(4, [&](std::uint64_t, std::size_t outer_worker) {
        const auto me = std::this_thread::get_id();
        run_batch(3, [&](std::uint64_t, std::size_t inner_worker) {
            ++inner_runs;
            if (std::this_thread::get_id() != me || inner_worker != outer_worker) ++off_thread;
        });
    });
    CHECK_EQ(inner_runs.load(), 12);
    CHECK_EQ(off_thread.load(), 0);
}

// The waiting caller's interrupt poll runs the caller's code (in the module, a
// Python signal handler), which may solve again: that batch runs on the
// caller instead of waiting for the pool that the first batch occupies.
TEST(pool_batch_from_the_interrupt_poll_runs_on_the_caller) {
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> release{false};
    std::atomic<int> polls_that_submitted{0};
    std::atomic<int> inner_runs{0};
    std::atomic<int> off_caller{0};
    run_batch(
        4,
        [&](std::uint64_t, std::size_t) {
            while (!release.load()) std::this_thread::sleep_for(1ms);
        },
        [&] {
            if (polls_that_submitted.fetch_add(1) == 0) {
                run_batch(30, [&](std::uint64_t, std::size_t worker) {
                    ++inner_runs;
                    if (std::this_thread::get_id() != caller || worker != pool_size()) ++off_caller;
                });
                release = true;
            }
            return false;
        });
    CHECK_EQ(inner_runs.load(), 30);
    CHECK_EQ(off_caller.load(), 0);
}

// What a fork child inherits and what it starts afresh: POSIX only.
#if !defined(_WIN32)

// Returns once every worker of this process's pool has run a body. A thread
// that is still starting may be inside the allocator (AddressSanitizer's
// thread start-up allocates, and its allocator is not guarded across fork):
// a fork at that moment hands the child a lock that no thread will release,
// and the child hangs on its first allocation. The tests fork only once no
// worker is starting any more.
void settle_workers() {
    const std::size_t workers = pool_size();
    std::vector<std::atomic<bool>> seen(workers);
    const auto all_seen = [&] {
        return std::all_of(seen.begin(), seen.end(), [](const std::atomic<bool>& s) { return s.load(); });
    };
    while (!all_seen()) {
        run_batch(2 * workers + 2, [&](std::uint64_t, std::size_t worker) {
            if (worker < workers) seen[worker] = true;
            std::this_thread::sleep_for(1ms);  // leaves indices for the late starters
        });
    }
}

// Runs `child` in a forked process and returns its exit status, or -1 if it
// did not exit normally within the deadline (it is then killed).
int exit_status_of_child(const std::function<int()>& child, std::chrono::seconds deadline = 30s) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return -2;
    if (pid == 0) {
        int status = 98;
        try {
            status = child();
        } catch (...) {
            status = 99;
        }
        _exit(status);
    }
    return kernel_tests::exit_status_of_process(pid, deadline);
}

// What an ant colony or probabilistic solve asks of the pool, checked in full.
int solve_sized_batches() {
    for (int repeat = 0; repeat < 200; ++repeat) {
        std::vector<std::uint64_t> slots(20, 0);
        run_batch(20, [&](std::uint64_t index, std::size_t) { slots[index] = index + 1; });
        for (std::uint64_t i = 0; i < slots.size(); ++i)
            if (slots[i] != i + 1) return 1;
    }
    std::vector<std::uint64_t> slots(100, 0);
    run_batch(100, [&](std::uint64_t index, std::size_t) { slots[index] = index * 3; });
    for (std::uint64_t i = 0; i < slots.size(); ++i)
        if (slots[i] != i * 3) return 2;
    return 0;
}

TEST(pool_fork_child_gets_a_fresh_pool) {
    REQUIRE(solve_sized_batches() == 0);  // the parent's pool exists and has run
    settle_workers();
    CHECK_EQ(exit_status_of_child([] {
                 const auto parent_ids = std::this_thread::get_id();
                 std::atomic<int> on_caller{0};
                 run_batch(50, [&](std::uint64_t, std::size_t) {
                     if (std::this_thread::get_id() == parent_ids) ++on_caller;
                 });
                 if (on_caller.load() != 0) return 3;  // the batch must run on new workers
                 return solve_sized_batches();
             }),
             0);
    REQUIRE(solve_sized_batches() == 0);  // and the parent's pool still works
}

// Fork while another thread is in the middle of a batch: the child inherits
// the pool's locks held and the workers gone, and must not wait for either.
// The submitter is detached (and waited for through a flag): ThreadSanitizer
// still counts a joinable thread as running in the child, where it does not
// exist, and fails the child's first thread start.
TEST(pool_fork_during_a_running_batch) {
    settle_workers();
    struct Shared {
        std::atomic<bool> inside{false};
        std::atomic<bool> release{false};
        std::atomic<bool> submitted{false};
    };
    const auto shared = std::make_shared<Shared>();
    std::thread([shared] {
        run_batch(4, [&](std::uint64_t, std::size_t) {
            shared->inside = true;
            while (!shared->release.load()) std::this_thread::sleep_for(1ms);
        });
        shared->submitted = true;
    }).detach();
    while (!shared->inside.load()) std::this_thread::sleep_for(1ms);
    const int status = exit_status_of_child([] {
        // The grandchild covers a second fork in a row.
        if (solve_sized_batches() != 0) return 4;
        settle_workers();
        return exit_status_of_child(solve_sized_batches, 20s);
    });
    shared->release = true;
    while (!shared->submitted.load()) std::this_thread::sleep_for(1ms);
    CHECK_EQ(status, 0);
}

TEST(pool_fork_child_reads_the_environment_again) {
    settle_workers();
    CHECK_EQ(exit_status_of_child([] {
                 setenv("RAYON_NUM_THREADS", "1", 1);
                 setenv("RAYON_RS_NUM_CPUS", "7", 1);
                 if (pool_size() != 1) return 5;
                 // Read only at creation: later changes have no effect.
                 setenv("RAYON_NUM_THREADS", "3", 1);
                 if (pool_size() != 1) return 6;
                 // One worker: every index on it, in increasing order, not on the caller.
                 std::vector<std::uint64_t> order;
                 std::atomic<int> wrong_worker{0};
                 const auto caller = std::this_thread::get_id();
                 run_batch(30, [&](std::uint64_t index, std::size_t worker) {
                     if (worker != 0 || std::this_thread::get_id() == caller) ++wrong_worker;
                     order.push_back(index);
                 });
                 if (wrong_worker.load() != 0) return 7;
                 if (order.size() != 30 || !std::is_sorted(order.begin(), order.end())) return 8;
                 return 0;
             }),
             0);
}

#endif

// Refuses the last thread of the next pool that starts, as an operating
// system out of threads would, once the threads started before it have had
// time to stop spinning and sleep, so that giving the pool up must wake them;
// the pool after that starts normally.
void refuse_last_thread(std::size_t worker, std::size_t size) {
    if (worker + 1 < size) return;
    allotra::testing::thread_start_hook.store(nullptr);
    while (allotra::testing::threads_running.load() < worker) std::this_thread::yield();
    std::this_thread::sleep_for(100ms);  // two thousand times a worker's spin
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "thread start refused for a test");
}

// The threads of this process as the operating system counts them, where it
// shows them (Linux); the pool's own count stands in elsewhere.
std::size_t threads_of_process() {
#if defined(__linux__)
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(tasks, std::filesystem::directory_iterator()));
#else
    return allotra::testing::threads_running.load();
#endif
}

// A joined thread may linger in /proc for a moment after it has ended.
bool threads_settle_at(std::size_t expected) {
    for (int wait = 0; wait < 10000; ++wait) {
        if (threads_of_process() == expected) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// In a process of its own, whose pool is made by its first batch.
TEST(pool_thread_start_failure_stops_the_started_threads_and_retries) {
    CHECK_EQ(kernel_tests::exit_status_in_new_process([] {
                 std::thread([] {}).join();  // a runtime's own helper threads (a sanitizer's) start first
                 const std::size_t before = threads_of_process();
                 allotra::testing::thread_start_hook.store(&refuse_last_thread);
                 std::atomic<int> runs{0};
                 try {
                     run_batch(20, [&](std::uint64_t, std::size_t) { ++runs; });
                     return 10;
                 } catch (const allotra::InternalError& e) {
                     if (std::string(e.what()).rfind("The global thread pool has not been initialized.", 0) != 0)
                         return 11;
                 }
                 if (runs.load() != 0) return 12;
                 if (allotra::testing::threads_running.load() != 0 || !threads_settle_at(before)) return 13;
                 // The next batch starts a whole pool, and it works.
                 std::vector<std::atomic<int>> slots(100);
                 run_batch(slots.size(), [&](std::uint64_t index, std::size_t) { ++slots[index]; });
                 for (const auto& slot : slots)
                     if (slot.load() != 1) return 14;
                 return threads_settle_at(before + pool_size()) ? 0 : 15;
             }),
             0);
}

// A submitter parked for good (a run's thread that finds the interpreter
// shutting down) sends the workers away from its batch: bodies that run until
// a stop is requested end, where they would otherwise hold the pool forever.
TEST(pool_parked_submitter_stops_its_batch) {
    CHECK_EQ(kernel_tests::exit_status_in_new_process([] {
                 static std::atomic<std::uint64_t> started{0}, ended{0};
                 std::thread([] {
                     run_batch(
                         1'000'000,
                         [](std::uint64_t, std::size_t) {
                             ++started;
                             while (!allotra::stop_requested()) std::this_thread::sleep_for(100us);
                             ++ended;
                         },
                         [] {
                             if (started.load() > 0) allotra::park_this_thread();
                             return false;
                         });
                 }).detach();
                 for (int wait = 0; wait < 20000; ++wait) {  // 20 s: a bound for a hang, not a speed claim
                     if (ended.load() > 0 && ended.load() == started.load()) return 0;
                     std::this_thread::sleep_for(1ms);
                 }
                 return 1;
             }),
             0);
}

// Many short batches in which the workers claim indices at the same moments:
// a claim that is not one atomic step lets two workers take the same index,
// which shows here within a few batches on an idle machine, and within a few
// hundred on a busy one. The first worker in a batch waits (briefly, without
// giving up its core) for a second one, so that contention does not depend on
// luck.
TEST(pool_stress_every_index_runs_once_under_contention) {
    std::vector<std::atomic<std::uint32_t>> runs(1000);
    std::uint64_t wrong = 0;
    int shared_batches = 0;
    const auto end = std::chrono::steady_clock::now() + 2s;
    for (int batch = 0; batch < 20000 && shared_batches < 1000 && wrong == 0; ++batch) {
        const std::uint64_t k = 200 + static_cast<std::uint64_t>(batch * 37) % 800;
        std::atomic<std::uint64_t> workers_seen{0};
        run_batch(k, [&](std::uint64_t index, std::size_t worker) {
            const std::uint64_t bit = std::uint64_t{1} << (worker % 64);
            if ((workers_seen.load() & bit) == 0) workers_seen.fetch_or(bit);
            const auto until = std::chrono::steady_clock::now() + 1ms;
            while (std::popcount(workers_seen.load()) < 2 && std::chrono::steady_clock::now() < until) {
            }
            runs[index].fetch_add(1, std::memory_order_relaxed);
        });
        for (std::uint64_t i = 0; i < k; ++i) wrong += runs[i].exchange(0) != 1;
        shared_batches += std::popcount(workers_seen.load()) > 1;
        if (std::chrono::steady_clock::now() > end) break;
    }
    std::printf("    %d batches shared between workers\n", shared_batches);
    CHECK_EQ(wrong, 0u);
    // Without batches shared between workers the test would prove nothing.
    if (pool_size() > 1) CHECK(shared_batches > 0);
}

}  // namespace
