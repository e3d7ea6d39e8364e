// The split of scanned members by a random byte against their place's odds:
// the AVX2 form against the portable one, bit for bit, at every length around
// its 32- and 64-member blocks and with odds at their extremes.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "harness.hpp"
#include "kernel/simd/odds_split.hpp"
#include "kernel/simd/simd_dispatch.hpp"

TEST(odds_split_forms_agree) {
    std::mt19937_64 engine(20261208);
    for (int round = 0; round < 40; ++round) {
        allotra::PlaceOdds odds{};
        for (int place = 0; place < 64; ++place) {
            // Extremes (0, 255, an empty or a full undecided range) and any pair.
            const auto a = static_cast<std::uint8_t>(round % 4 == 0 ? 0 : engine());
            const auto b = static_cast<std::uint8_t>(round % 4 == 1 ? 255 : engine());
            odds.below[place] = round % 4 == 2 ? a : std::min(a, b);
            odds.last[place] = round % 4 == 2 ? b : std::max(a, b);
        }
        for (std::size_t n : {0, 1, 31, 32, 33, 63, 64, 65, 127, 200, 4096}) {
            std::vector<std::uint64_t> random((n + 7) / 8 + 1);
            std::vector<std::uint8_t> fine(n + 1);
            for (auto& word : random) word = engine();
            for (auto& byte : fine) byte = static_cast<std::uint8_t>(engine());
            const std::size_t words = (n + 63) / 64;
            std::vector<std::uint64_t> drawn(words), undecided(words), plain_drawn(words), plain_undecided(words);
            allotra::split_by_odds(random.data(), fine.data(), n, odds, drawn.data(), undecided.data());
            allotra::simd::testing::force_portable(true);
            allotra::split_by_odds(random.data(), fine.data(), n, odds, plain_drawn.data(), plain_undecided.data());
            allotra::simd::testing::force_portable(false);
            CHECK(drawn == plain_drawn);
            CHECK(undecided == plain_undecided);
            // No bit past the last member, and never both at once.
            for (std::size_t w = 0; w < words; ++w) {
                const std::size_t size = std::min<std::size_t>(64, n - 64 * w);
                const std::uint64_t past = size == 64 ? 0 : ~((std::uint64_t{1} << size) - 1);
                CHECK(((drawn[w] | undecided[w]) & past) == 0);
                CHECK((drawn[w] & undecided[w]) == 0);
            }
        }
    }
}
