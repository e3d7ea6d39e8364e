// Times the quick sum that decides whether a probabilistic construction with
// discounts can still win: the lanes (AVX2 where the processor has it, and
// the portable form) against the four chains of one cell at a time that it
// replaced, and the integer path's sum of the same cells.
//
//   bench_quick_sum [CELLS] [REPEATS]
//
// Prints, for selections of 5% to 90% of the cells, the fastest of
// REPEATS for each form in milliseconds.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernel/simd/simd_dispatch.hpp"
#include "kernel/simd/taken_cells.hpp"
#include "race/quick_sum.hpp"

namespace {

// The form before the lanes: four chains, a taken cell at a time.
double chains(const double* terms, const std::vector<std::uint64_t>& taken) {
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::uint64_t w = 0; w < taken.size(); ++w) {
        std::uint64_t bits = taken[w];
        for (unsigned k = 0; bits != 0; k = (k + 1) & 3u, bits &= bits - 1) {
            lane[k] += terms[w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits))];
        }
    }
    return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

template <typename Sum>
double fastest_ms(int repeats, Sum&& sum) {
    double best = 1e30;
    volatile double sink = 0.0;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        sink = sum();
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    (void)sink;
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t cells = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
    std::mt19937_64 engine(20261210);
    std::vector<double> terms(cells);
    std::vector<std::int64_t> values(cells);
    for (std::uint64_t k = 0; k < cells; ++k) {
        values[k] = static_cast<std::int64_t>(engine() % 100) + 1;
        terms[k] = static_cast<double>(values[k]) * (1.0 - std::uniform_real_distribution<double>(0.0, 0.5)(engine));
    }
    std::printf("cells share chains_ms lanes_ms lanes_portable_ms integer_ms\n");
    for (int percent : {5, 10, 20, 50, 90}) {
        std::vector<std::uint64_t> taken((cells + 63) / 64);
        for (std::uint64_t k = 0; k < cells; ++k) {
            if (static_cast<int>(engine() % 100) < percent) taken[k / 64] |= std::uint64_t{1} << (k % 64);
        }
        const double before = fastest_ms(repeats, [&] { return chains(terms.data(), taken); });
        const auto lanes = [&] { return allotra::quick_sum(terms.data(), taken, cells).sum; };
        const double after = fastest_ms(repeats, lanes);
        allotra::simd::testing::force_portable(true);
        const double portable = fastest_ms(repeats, lanes);
        allotra::simd::testing::force_portable(false);
        const double integer = fastest_ms(repeats, [&] {
            return static_cast<double>(allotra::sum_taken(values.data(), taken.data(), 0, cells));
        });
        std::printf("%llu %d%% %.3f %.3f %.3f %.3f\n", static_cast<unsigned long long>(cells), percent, before, after,
                    portable, integer);
    }
    return 0;
}
