// The work over a bitmap's taken cells: the AVX2 form against the portable
// one and a plain loop, bit for bit, over ranges that start and end inside
// words and around them, at densities from none to all, and for many chains
// of additions at once.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "harness.hpp"
#include "kernel/simd/simd_dispatch.hpp"
#include "kernel/simd/taken_cells.hpp"

TEST(taken_cells_forms_agree) {
    std::mt19937_64 engine(20261210);
    const std::uint64_t cells = 700;
    for (int round = 0; round < 24; ++round) {
        std::vector<std::uint64_t> taken((cells + 63) / 64);
        for (auto& word : taken) {
            const std::uint64_t bits = engine();
            word = round % 4 == 0 ? 0 : round % 4 == 1 ? ~std::uint64_t{0} : round % 4 == 2 ? bits & engine() & engine() : bits;
        }
        std::vector<std::int64_t> values(cells);
        for (auto& value : values) value = static_cast<std::int64_t>(engine());  // sums wrap alike
        std::vector<double> base(cells);
        for (auto& x : base) x = static_cast<double>(static_cast<std::int64_t>(engine() % 2001) - 1000) / 7.0;
        base[3] = -0.0;
        base[70] = std::numeric_limits<double>::quiet_NaN();
        const double amount = round % 3 == 0 ? 0.0 : static_cast<double>(engine() % 1000) / 3.0;
        for (std::uint64_t begin : {0, 1, 63, 64, 65, 130}) {
            for (std::uint64_t end : {begin, begin + 1, std::uint64_t{64}, std::uint64_t{128}, std::uint64_t{511},
                                      std::uint64_t{640}, cells}) {
                if (end < begin) continue;
                std::uint64_t expected = 0;
                std::vector<double> plain = base;
                for (std::uint64_t cell = begin; cell < end; ++cell) {
                    if ((taken[cell / 64] >> (cell % 64)) & 1u) {
                        expected += static_cast<std::uint64_t>(values[cell]);
                        plain[cell] += amount;
                    }
                }
                for (bool portable : {false, true}) {
                    allotra::simd::testing::force_portable(portable);
                    CHECK(allotra::sum_taken(values.data(), taken.data(), begin, end) == expected);
                    std::vector<double> added = base;
                    allotra::add_where_taken(added.data(), taken.data(), begin, end, amount);
                    CHECK(std::memcmp(added.data(), plain.data(), cells * sizeof(double)) == 0);
                }
                allotra::simd::testing::force_portable(false);
            }
        }
    }
}

TEST(chain_sums_match_one_chain_at_a_time) {
    std::mt19937_64 engine(20261211);
    const std::uint64_t cells = 1000;
    std::vector<double> terms(cells);
    for (auto& t : terms) t = std::ldexp(static_cast<double>(engine() % 1000001) - 500000.0, static_cast<int>(engine() % 60) - 30);
    terms[5] = -0.0;
    terms[77] = std::numeric_limits<double>::infinity();  // taken by few: the others must not turn NaN
    for (std::size_t count : {std::size_t{1}, std::size_t{5}, allotra::chains_at_once}) {
        std::vector<std::vector<std::uint64_t>> maps(count, std::vector<std::uint64_t>((cells + 63) / 64));
        std::vector<const std::uint64_t*> taken;
        for (std::size_t a = 0; a < count; ++a) {
            for (auto& word : maps[a]) word = a % 3 == 0 ? engine() & engine() & engine() : engine();
            if (a != 1) maps[a][1] &= ~(std::uint64_t{1} << 13);  // cell 77
            taken.push_back(maps[a].data());
        }
        // Stretches that split words, as the callers' stop checks do not.
        for (std::uint64_t stretch : {std::uint64_t{37}, std::uint64_t{64}, std::uint64_t{300}, cells}) {
            for (bool portable : {false, true}) {
                allotra::simd::testing::force_portable(portable);
                std::vector<double> sums(count, 0.0);
                for (std::uint64_t begin = 0; begin < cells; begin += stretch) {
                    allotra::chain_sums(terms.data(), taken.data(), count, begin, std::min(begin + stretch, cells),
                                        sums.data());
                }
                for (std::size_t a = 0; a < count; ++a) {
                    double chain = 0.0;
                    for (std::uint64_t cell = 0; cell < cells; ++cell) {
                        if ((maps[a][cell / 64] >> (cell % 64)) & 1u) chain = chain + terms[cell];
                    }
                    CHECK(std::memcmp(&sums[a], &chain, sizeof chain) == 0);
                }
            }
            allotra::simd::testing::force_portable(false);
        }
    }
}

TEST(lane_sums_match_each_lane_in_cell_order) {
    std::mt19937_64 engine(20261212);
    const std::uint64_t cells = 1000;
    std::vector<double> terms(cells);
    for (auto& t : terms) t = std::ldexp(static_cast<double>(engine() % 1000001) - 500000.0, static_cast<int>(engine() % 60) - 30);
    terms[5] = -0.0;
    terms[77] = std::numeric_limits<double>::quiet_NaN();  // a cell left untaken: no lane turns NaN
    for (int density = 0; density < 4; ++density) {
        std::vector<std::uint64_t> taken((cells + 63) / 64);
        for (auto& word : taken) word = density == 0 ? 0 : density == 1 ? engine() & engine() & engine() : density == 2 ? engine() : ~std::uint64_t{0};
        taken[1] &= ~(std::uint64_t{1} << 13);  // cell 77
        double plain[allotra::lane_count] = {};
        for (std::uint64_t cell = 0; cell < cells; ++cell) {
            if ((taken[cell / 64] >> (cell % 64)) & 1u) plain[cell % allotra::lane_count] += terms[cell];
        }
        // Stretches that split words, as the callers' stop checks do not.
        for (std::uint64_t stretch : {std::uint64_t{37}, std::uint64_t{64}, std::uint64_t{300}, cells}) {
            for (bool portable : {false, true}) {
                allotra::simd::testing::force_portable(portable);
                double lanes[allotra::lane_count] = {};
                for (std::uint64_t begin = 0; begin < cells; begin += stretch) {
                    allotra::lane_sums(terms.data(), taken.data(), begin, std::min(begin + stretch, cells), lanes);
                }
                CHECK(std::memcmp(lanes, plain, sizeof lanes) == 0);
                const double total = allotra::lane_total(lanes);
                CHECK(!std::isnan(total));
            }
            allotra::simd::testing::force_portable(false);
        }
    }
}
