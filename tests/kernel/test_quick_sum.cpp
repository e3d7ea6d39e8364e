// The quick look at whether a construction can still win: its bound on how
// far the quick sum can lie from the exact value never drops a selection
// whose exact value passes the bar, in either form of the lanes, while it
// does drop one far below; and large blocks go straight to the system and
// back.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "harness.hpp"
#include "kernel/memory/aligned_buffer.hpp"
#include "kernel/memory/large_storage.hpp"
#include "kernel/matrix.hpp"
#include "kernel/simd/simd_dispatch.hpp"
#include "race/quick_sum.hpp"

TEST(quick_sum_bound_keeps_every_selection_that_passes_the_bar) {
    // Terms of full mantissas, so that every order rounds its own way: over
    // thousands of terms the orders part by many k u largest, more than any
    // bound short of the k^2 one.
    std::mt19937_64 engine(20261213);
    const std::uint64_t cells = 200000;
    std::vector<double> terms(cells);
    double largest = 0.0;
    for (auto& t : terms) {
        t = std::ldexp(static_cast<double>(engine() >> 11), -53) * 100.0;
        largest = std::max(largest, t);
    }
    double widest = 0.0;  // the largest distance seen, in units of k u largest
    for (int round = 0; round < 6; ++round) {
        // Halves and three quarters of the cells go in lanes, a sixteenth in chains.
        std::vector<std::uint64_t> taken((cells + 63) / 64);
        for (auto& word : taken) {
            word = round % 3 == 0 ? engine() : round % 3 == 1 ? engine() | engine()
                                                              : engine() & engine() & engine() & engine();
        }
        double exact = 0.0;  // the objective's order
        for (std::uint64_t cell = 0; cell < cells; ++cell) {
            if ((taken[cell / 64] >> (cell % 64)) & 1u) exact = exact + terms[cell];
        }
        for (bool portable : {false, true}) {
            allotra::simd::testing::force_portable(portable);
            const allotra::QuickSum quick = allotra::quick_sum(terms.data(), taken, cells);
            const double k = static_cast<double>(quick.terms);
            widest = std::max(widest, std::fabs(exact - quick.sum) / (k * largest * 0x1p-53));
            // The bar just below the exact value: the selection must stay.
            CHECK(!allotra::cannot_exceed(quick, largest, std::nextafter(exact, -INFINITY)));
            // A bar the sum cannot reach by any rounding drops it.
            CHECK(allotra::cannot_exceed(quick, largest, exact + k * k * largest * 0x1p-48));
            CHECK(!allotra::cannot_exceed(quick, std::numeric_limits<double>::quiet_NaN(), exact * 2.0));
        }
        allotra::simd::testing::force_portable(false);
    }
    // The terms did part the orders further than a bound linear in k covers.
    CHECK(widest > 4.0);
}

TEST(large_blocks_go_straight_to_the_system_and_back) {
    const std::size_t before = allotra::mapped_bytes_in_use();
    for (std::size_t bytes : {allotra::direct_map_bytes - 8, allotra::direct_map_bytes, 3 * allotra::direct_map_bytes + 8}) {
        const bool mapped = bytes >= allotra::direct_map_bytes;
        {
            allotra::AlignedBuffer<double> buffer = allotra::aligned_buffer<double>(bytes / sizeof(double));
            CHECK_EQ(allotra::mapped_bytes_in_use(), before + (mapped ? bytes : 0));
            CHECK(reinterpret_cast<std::uintptr_t>(buffer.data()) % 64 == 0);
            bool zeros = true;
            for (std::uint64_t k = 0; k < buffer.size; ++k) zeros = zeros && buffer[k] == 0.0;
            CHECK(zeros);
            buffer[buffer.size - 1] = 1.0;
        }
        CHECK_EQ(allotra::mapped_bytes_in_use(), before);
        {
            allotra::LargeVector<std::uint8_t> list(bytes, 7);
            CHECK_EQ(allotra::mapped_bytes_in_use(), before + (mapped ? bytes : 0));
            list.push_back(1);  // grows into a new block and lets the old one go
            CHECK(list[bytes - 1] == 7 && list[bytes] == 1);
        }
        CHECK_EQ(allotra::mapped_bytes_in_use(), before);
        {
            allotra::IntMatrix matrix = allotra::zero_int_matrix(1, bytes / 8);
            CHECK_EQ(allotra::mapped_bytes_in_use(), before + (mapped ? bytes / 8 * 8 : 0));
            CHECK(matrix.at(0, bytes / 8 - 1) == 0);
        }
        CHECK_EQ(allotra::mapped_bytes_in_use(), before);
    }
}
