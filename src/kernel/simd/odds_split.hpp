// Members of a scanned group told apart by one random byte each against the
// odds of their place: surely drawn, surely not, or undecided (left for an
// exact test). Many members at a time; the AVX2 and the portable forms give
// the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace allotra {

// A place's odds: a member whose byte is below `below` is surely drawn, one
// whose byte is above `last` surely not; the others are undecided.
struct PlaceOdds {
    std::uint8_t below[64];
    std::uint8_t last[64];
};

// For members k < n, with random byte k of `random` (byte k % 8 of word
// k / 8, from its low end) and place fine[k] >> 2: bit k % 64 of word k / 64
// of `drawn` is set when the member is surely drawn, of `undecided` when it is
// undecided. Writes (n + 63) / 64 words of each.
void split_by_odds(const std::uint64_t* random, const std::uint8_t* fine, std::size_t n, const PlaceOdds& odds,
                   std::uint64_t* drawn, std::uint64_t* undecided);

namespace portable {
void split_by_odds(const std::uint64_t* random, const std::uint8_t* fine, std::size_t n, const PlaceOdds& odds,
                   std::uint64_t* drawn, std::uint64_t* undecided);
}  // namespace portable

}  // namespace allotra
