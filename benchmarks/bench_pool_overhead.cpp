// What the worker pool costs per batch: an ant colony on a small grid hands it
// about 20 tiny constructions thousands of times per solve, so the hand-over
// and the wake-up of the caller, not the work, decide the time.
//
// Prints the median over several repeats of the time per batch. The pool size
// follows RAYON_NUM_THREADS like the module does; run it once as is and once
// with RAYON_NUM_THREADS=1 to compare.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "kernel/worker_pool.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int repeats = 9;
constexpr int batches_per_repeat = 5000;

// Enough arithmetic that the compiler cannot drop it; `rounds` sets how long
// one body runs.
std::uint64_t busy_work(std::uint64_t seed, int rounds) {
    std::uint64_t x = seed | 1;
    for (int i = 0; i < rounds; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    return x;
}

double median_microseconds_per_batch(std::uint64_t k, int rounds) {
    std::vector<std::uint64_t> slots(k);
    std::vector<double> per_batch;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const auto start = clock_type::now();
        for (int batch = 0; batch < batches_per_repeat; ++batch) {
            allotra::run_batch(k, [&](std::uint64_t index, std::size_t) {
                slots[index] = busy_work(index + static_cast<std::uint64_t>(batch), rounds);
            });
        }
        const std::chrono::duration<double, std::micro> took = clock_type::now() - start;
        per_batch.push_back(took.count() / batches_per_repeat);
    }
    std::sort(per_batch.begin(), per_batch.end());
    return per_batch[per_batch.size() / 2];
}

}  // namespace

int main() {
    std::printf("pool size %zu (set RAYON_NUM_THREADS to change it)\n", allotra::pool_size());
    std::printf("median of %d repeats of %d batches each\n", repeats, batches_per_repeat);
    const struct {
        std::uint64_t k;
        int rounds;
        const char* what;
    } cases[] = {
        {20, 0, "20 empty bodies"},
        {20, 200, "20 bodies of ~0.2 us"},
        {20, 2000, "20 bodies of ~2 us"},
        {1, 0, "1 empty body (runs on the caller)"},
    };
    for (const auto& c : cases) {
        // The first batch of a case also warms caches and, once, creates the pool.
        (void)median_microseconds_per_batch(c.k, c.rounds);
        std::printf("%-36s %8.2f us per batch\n", c.what, median_microseconds_per_batch(c.k, c.rounds));
    }
    // The same bodies one after another on this thread, for comparison.
    std::vector<std::uint64_t> slots(20);
    const auto start = clock_type::now();
    for (int batch = 0; batch < batches_per_repeat; ++batch)
        for (std::uint64_t index = 0; index < 20; ++index)
            slots[index] = busy_work(index + static_cast<std::uint64_t>(batch), 2000);
    const std::chrono::duration<double, std::micro> took = clock_type::now() - start;
    std::printf("%-36s %8.2f us per batch (sum %llu)\n", "20 bodies of ~2 us, no pool",
                took.count() / batches_per_repeat, static_cast<unsigned long long>(slots[7] & 1));
    return 0;
}
