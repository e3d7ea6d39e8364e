// The AVX2 forms of the vectorised kernels, each in a translation unit of its
// own that alone is compiled for AVX2 (*_avx2.cpp). Only the dispatching
// functions call them, and only after simd::use_avx2() said yes. They take
// plain pointers: an inline function of a shared header, instantiated inside
// an AVX2 unit, could otherwise stand in for the portable copy at link time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace allotra::avx2 {

// `blocks` ChaCha blocks from `first_counter` on; `key` points at 32 bytes.
void chacha_blocks(const std::uint8_t* key, std::uint64_t first_counter, std::size_t blocks, std::uint32_t* out);

void exponentials_from_bits(const std::uint64_t* bits, double* out, std::size_t n);

// `below` and `last` point at a place's 64 odds each (see odds_split.hpp).
void split_by_odds(const std::uint64_t* random, const std::uint8_t* fine, std::size_t n, const std::uint8_t* below,
                   const std::uint8_t* last, std::uint64_t* drawn, std::uint64_t* undecided);

std::uint64_t sum_taken(const std::int64_t* values, const std::uint64_t* taken, std::uint64_t begin,
                        std::uint64_t end);
void add_where_taken(double* cells, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
                     double amount);
void lane_sums(const double* terms, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
               double* lanes);
void chain_sums(const double* terms, const std::uint64_t* const* taken, std::size_t count, std::uint64_t begin,
                std::uint64_t end, double* sums);

}  // namespace allotra::avx2
