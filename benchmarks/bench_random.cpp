// What the random stream and the exponential keys cost per value: next_u64()
// one at a time, fill() in bulk (with the form the processor gets and with the
// portable form), replay of single values from a recording, and the
// exponentials from bits in both forms.
//
// Prints nanoseconds per value: the median over several repeats and, since a
// shared machine only ever slows a repeat down, the fastest repeat.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "bench_common.hpp"
#include "kernel/random/exponential.hpp"
#include "kernel/random/random.hpp"
#include "kernel/simd/simd_dispatch.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int repeats = 15;
// Half a megabyte of values: several re-keys per pass, and it stays in cache.
constexpr std::size_t values = 1 << 16;
volatile std::uint64_t sink;

struct Figure {
    double median;
    double best;
};

Figure ns_per_value(std::size_t per_pass, int passes, const std::function<void()>& pass) {
    std::vector<double> samples;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const auto start = clock_type::now();
        for (int i = 0; i < passes; ++i) pass();
        const std::chrono::duration<double, std::nano> spent = clock_type::now() - start;
        samples.push_back(spent.count() / (static_cast<double>(per_pass) * passes));
    }
    return {bench::median(samples), *std::min_element(samples.begin(), samples.end())};
}

void report(const char* what, Figure ns) {
    std::printf("%-26s %8.3f ns per value (fastest repeat %.3f)\n", what, ns.median, ns.best);
}

}  // namespace

int main() {
    allotra::RandomGenerator generator = allotra::RandomGenerator::from_os();
    std::vector<std::uint64_t> bits(values);
    std::vector<double> keys(values);
    std::printf("AVX2 form in use: %s\n", allotra::simd::use_avx2() ? "yes" : "no");

    report("next_u64", ns_per_value(values, 20, [&] {
        std::uint64_t x = 0;
        for (std::size_t i = 0; i < values; ++i) x ^= generator.next_u64();
        sink = x;
    }));
    for (bool portable : {false, true}) {
        allotra::simd::testing::force_portable(portable);
        report(portable ? "fill (portable)" : "fill (dispatched)",
               ns_per_value(values, 20, [&] { generator.fill(bits); sink = bits[values / 2]; }));
    }
    allotra::simd::testing::force_portable(false);

    // Single values at scattered indices of a recording of `values` values.
    allotra::StreamRecord record;
    generator.start_recording(record);
    generator.fill(bits);
    generator.stop_recording();
    std::uint64_t one = 0;
    report("replay of one value", ns_per_value(values / 16, 5, [&] {
        std::uint64_t x = 0;
        for (std::size_t i = 0; i < values / 16; ++i) {
            allotra::replay(record, (i * 40503) % values, {&one, 1});
            x ^= one;
        }
        sink = x;
    }));

    for (bool portable : {false, true}) {
        allotra::simd::testing::force_portable(portable);
        report(portable ? "exponential (portable)" : "exponential (dispatched)",
               ns_per_value(values, 20, [&] {
                   allotra::exponentials_from_bits(bits.data(), keys.data(), values);
                   sink = static_cast<std::uint64_t>(keys[values / 3]);
               }));
    }
    allotra::simd::testing::force_portable(false);
    return 0;
}
