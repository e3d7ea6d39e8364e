// What the worker pool costs per batch: an ant colony on a small grid hands it
// about 20 tiny constructions thousands of times per solve, so the hand-over
// and the wake-up of the caller, not the work, decide the time.
//
//     bench_pool_overhead [--load N] [--batches B] [--repeats R]
//
// Prints the median over several repeats of the time per batch, for batches on
// the pool and for the same bodies run one after another on the calling thread.
// --load N first starts N processes that spin on a core each (POSIX), as other
// jobs on a shared machine do: pool threads that wait by spinning then keep
// losing their cores to them. --batches sets the batches per repeat (default
// 5000; fewer under load, where one batch may cost a time slice), --repeats
// the repeats (default 9). The pool size follows RAYON_NUM_THREADS like the
// module does.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "kernel/pool/worker_pool.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

int repeats = 9;
int batches_per_repeat = 5000;

// Enough arithmetic that the compiler cannot drop it; `rounds` sets how long
// one body runs.
std::uint64_t busy_work(std::uint64_t seed, int rounds) {
    std::uint64_t x = seed | 1;
    for (int i = 0; i < rounds; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    return x;
}

double median_microseconds_per_batch(const std::function<void(int batch)>& one_batch) {
    std::vector<double> per_batch;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const auto start = clock_type::now();
        for (int batch = 0; batch < batches_per_repeat; ++batch) one_batch(batch);
        const std::chrono::duration<double, std::micro> took = clock_type::now() - start;
        per_batch.push_back(took.count() / batches_per_repeat);
    }
    std::sort(per_batch.begin(), per_batch.end());
    return per_batch[per_batch.size() / 2];
}

// Processes that spin until they are ended, one core each.
class Load {
public:
    explicit Load(int processes) {
#if !defined(_WIN32)
        for (int p = 0; p < processes; ++p) {
            const pid_t pid = fork();
            if (pid == 0) {
                volatile std::uint64_t sink = 0;
                for (;;) sink = sink + 1;
            }
            if (pid > 0) children_.push_back(pid);
        }
#else
        if (processes > 0) std::printf("--load needs fork; running without load\n");
#endif
    }
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;
    ~Load() {
#if !defined(_WIN32)
        for (const pid_t pid : children_) kill(pid, SIGKILL);
        for (const pid_t pid : children_) waitpid(pid, nullptr, 0);
#endif
    }

private:
#if !defined(_WIN32)
    std::vector<pid_t> children_;
#endif
};

}  // namespace

int main(int argc, char** argv) {
    int load = 0;
    for (int a = 1; a + 1 < argc; a += 2) {
        if (std::strcmp(argv[a], "--load") == 0) load = std::atoi(argv[a + 1]);
        if (std::strcmp(argv[a], "--batches") == 0) batches_per_repeat = std::max(1, std::atoi(argv[a + 1]));
        if (std::strcmp(argv[a], "--repeats") == 0) repeats = std::max(1, std::atoi(argv[a + 1]));
    }
    std::printf("pool size %zu (set RAYON_NUM_THREADS to change it), %d spinning processes\n",
                allotra::pool_size(), load);
    const Load spinning(load);
    std::printf("median of %d repeats of %d batches each\n", repeats, batches_per_repeat);
    const struct {
        std::uint64_t k;
        int rounds;
        const char* what;
    } cases[] = {
        {20, 0, "20 empty bodies"},
        {20, 200, "20 bodies of ~0.2 us"},
        {20, 2000, "20 bodies of ~2 us"},
        {1, 0, "1 empty body"},
    };
    std::vector<std::uint64_t> slots(20);
    for (const auto& c : cases) {
        const auto on_pool = [&](int batch) {
            allotra::run_batch(c.k, [&](std::uint64_t index, std::size_t) {
                slots[index] = busy_work(index + static_cast<std::uint64_t>(batch), c.rounds);
            });
        };
        const auto on_caller = [&](int batch) {
            for (std::uint64_t index = 0; index < c.k; ++index)
                slots[index] = busy_work(index + static_cast<std::uint64_t>(batch), c.rounds);
        };
        // The first round of a case also warms caches and, once, creates the pool.
        (void)median_microseconds_per_batch(on_pool);
        const double pool = median_microseconds_per_batch(on_pool);
        const double caller = median_microseconds_per_batch(on_caller);
        std::printf("%-22s %9.2f us per batch on the pool, %9.2f us on the calling thread\n", c.what, pool,
                    caller);
    }
    std::printf("(checksum %llu)\n", static_cast<unsigned long long>(slots[7] & 1));
    return 0;
}
