// The exponentials from bits: both forms give the same bits, and every result
// is within one unit in the last place of -ln(u) taken in long double, over
// random bits and the edges (u near 0, near 1/2, near sqrt(1/2), near 1).
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"
#include "kernel/random/exponential.hpp"
#include "kernel/simd/simd_dispatch.hpp"

namespace {

std::vector<std::uint64_t> test_bits() {
    std::vector<std::uint64_t> bits;
    // The low 11 bits take no part: each top value comes with both fillings.
    auto add = [&](std::uint64_t top53) {
        bits.push_back(top53 << 11);
        bits.push_back((top53 << 11) | 0x7FF);
    };
    const std::uint64_t top = std::uint64_t{1} << 53;
    for (std::uint64_t m = 0; m < 5000; ++m) {
        add(m);            // u close to 0
        add(top - 1 - m);  // u close to 1
        add(top / 2 - 2500 + m);  // around 1/2
        add(0x16A09E667F3BCCull - 2500 + m);  // around sqrt(1/2)
    }
    std::mt19937_64 random(2024);
    for (int i = 0; i < 400000; ++i) {
        const std::uint64_t v = random();
        bits.push_back(v >> (random() % 64));  // every scale of u
        bits.push_back(v);
    }
    return bits;
}

}  // namespace

TEST(exponential_forms_agree_and_stay_within_one_ulp) {
    const std::vector<std::uint64_t> bits = test_bits();
    std::vector<double> dispatched(bits.size()), portable(bits.size());
    // Odd lengths and offsets reach the loops' leftovers.
    allotra::exponentials_from_bits(bits.data(), dispatched.data(), bits.size() - 3);
    allotra::exponentials_from_bits(bits.data() + bits.size() - 3, dispatched.data() + bits.size() - 3, 3);
    allotra::portable::exponentials_from_bits(bits.data(), portable.data(), bits.size());
    allotra::simd::testing::force_portable(true);
    std::vector<double> forced(bits.size());
    allotra::exponentials_from_bits(bits.data(), forced.data(), bits.size());
    allotra::simd::testing::force_portable(false);

    int mismatches = 0, inaccurate = 0;
    for (std::size_t i = 0; i < bits.size(); ++i) {
        mismatches += dispatched[i] != portable[i] || forced[i] != portable[i];
        // Long double holds u exactly where it has 64 significant bits.
        if (LDBL_MANT_DIG < 64) continue;
        const long double u = (static_cast<long double>(bits[i] >> 11) + 0.5L) * 0x1p-53L;
        const long double exact = -std::log(u);
        const double nearest = static_cast<double>(exact);
        const long double ulp = std::nextafter(nearest, INFINITY) - nearest;
        if (!(std::fabs(static_cast<long double>(portable[i]) - exact) <= ulp)) {
            if (++inaccurate <= 5) {
                ::kernel_tests::record_failure(__FILE__, __LINE__,
                                               "bits " + std::to_string(bits[i]) + " give " + std::to_string(portable[i]));
            }
        }
    }
    CHECK_EQ(mismatches, 0);
    CHECK_EQ(inaccurate, 0);
}
