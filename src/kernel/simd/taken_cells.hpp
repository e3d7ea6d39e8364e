// Work over the cells that a bitmap marks as taken (bit k of word w is cell
// 64 w + k): a selection's integer sum, and a deposit. Many cells at a time;
// the AVX2 and the portable forms give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace allotra {

// The sum of values[cell] over the taken cells in [begin, end), in wrapping
// 64-bit arithmetic: exact whenever the true sum of the magnitudes fits.
std::uint64_t sum_taken(const std::int64_t* values, const std::uint64_t* taken, std::uint64_t begin,
                        std::uint64_t end);

// cells[cell] += amount for every taken cell in [begin, end). The AVX2 form
// adds -0.0 to the others, which leaves every double as it was.
void add_where_taken(double* cells, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
                     double amount);

// For each of `count` bitmaps (at most chains_at_once), sums[a] is carried
// on by adding terms[cell] for every cell that bitmap a takes in [begin,
// end), in ascending order: the same chain of additions as one bitmap at a
// time, many chains in step. The AVX2 form adds -0.0 for the cells a bitmap
// does not take, which leaves the sum as it was.
inline constexpr std::size_t chains_at_once = 16;
void chain_sums(const double* terms, const std::uint64_t* const* taken, std::size_t count, std::uint64_t begin,
                std::uint64_t end, double* sums);

// A sum of the terms of the taken cells in an order of its own, many cells
// at a time: lanes[cell % lane_count] += terms[cell] for every taken cell in
// [begin, end), each lane in ascending order of its cells; lane_total then
// adds the lanes in a fixed order. Both forms give the same bits: the AVX2
// form adds +0.0 for the cells a bitmap does not take, which leaves every
// lane as it was (a lane that starts at +0.0 is never -0.0).
inline constexpr std::size_t lane_count = 16;
void lane_sums(const double* terms, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
               double* lanes);
double lane_total(const double* lanes);

namespace portable {
void lane_sums(const double* terms, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
               double* lanes);
void chain_sums(const double* terms, const std::uint64_t* const* taken, std::size_t count, std::uint64_t begin,
                std::uint64_t end, double* sums);
std::uint64_t sum_taken(const std::int64_t* values, const std::uint64_t* taken, std::uint64_t begin,
                        std::uint64_t end);
void add_where_taken(double* cells, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
                     double amount);
}  // namespace portable

}  // namespace allotra
