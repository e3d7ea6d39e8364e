// The work over taken cells four cells at a time: each group of four bits of
// a word becomes a lane mask. Whole words only; the cells before the first
// whole word and after the last go one at a time. Compiled for AVX2 alone
// (see avx2_kernels.hpp).
#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "kernel/simd/avx2_kernels.hpp"

namespace allotra::avx2 {

namespace {

// The lane mask of the four cells whose bits are the low four of `bits`.
inline __m256i lanes_of(std::uint64_t bits) {
    const __m256i lane_bit = _mm256_set_epi64x(8, 4, 2, 1);
    return _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(static_cast<long long>(bits)), lane_bit), lane_bit);
}

// The whole words of [begin, end): [first, last) in words, with the cells
// outside them handed to `single` one bitmap stretch at a time.
template <typename Single>
void split_words(std::uint64_t begin, std::uint64_t end, std::uint64_t& first, std::uint64_t& last, Single&& single) {
    first = (begin + 63) / 64;
    last = end / 64;
    if (first > last) {  // within one word
        single(begin, end);
        first = last = 0;
        return;
    }
    single(begin, first * 64);
    single(last * 64, end);
}

}  // namespace

std::uint64_t sum_taken(const std::int64_t* values, const std::uint64_t* taken, std::uint64_t begin,
                        std::uint64_t end) {
    std::uint64_t sum = 0;
    std::uint64_t first = 0, last = 0;
    split_words(begin, end, first, last, [&](std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t cell = from; cell < to; ++cell) {
            if ((taken[cell / 64] >> (cell % 64)) & 1u) sum += static_cast<std::uint64_t>(values[cell]);
        }
    });
    __m256i even = _mm256_setzero_si256(), odd = _mm256_setzero_si256();
    for (std::uint64_t w = first; w < last; ++w) {
        const std::uint64_t bits = taken[w];
        if (bits == 0) continue;
        const auto* at = reinterpret_cast<const __m256i*>(values + w * 64);
        for (unsigned group = 0; group < 16; group += 2) {
            even = _mm256_add_epi64(even, _mm256_and_si256(_mm256_loadu_si256(at + group), lanes_of(bits >> (4 * group))));
            odd = _mm256_add_epi64(odd, _mm256_and_si256(_mm256_loadu_si256(at + group + 1),
                                                         lanes_of(bits >> (4 * group + 4))));
        }
    }
    alignas(32) std::uint64_t lane[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane), _mm256_add_epi64(even, odd));
    return sum + lane[0] + lane[1] + lane[2] + lane[3];
}

void add_where_taken(double* cells, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
                     double amount) {
    std::uint64_t first = 0, last = 0;
    split_words(begin, end, first, last, [&](std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t cell = from; cell < to; ++cell) {
            if ((taken[cell / 64] >> (cell % 64)) & 1u) cells[cell] += amount;
        }
    });
    // x + (-0.0) is x for every double x, -0.0 and NaN included.
    const __m256d added = _mm256_set1_pd(amount);
    const __m256d nothing = _mm256_set1_pd(-0.0);
    for (std::uint64_t w = first; w < last; ++w) {
        const std::uint64_t bits = taken[w];
        if (bits == 0) continue;
        double* at = cells + w * 64;
        for (unsigned group = 0; group < 16; ++group) {
            const __m256d mask = _mm256_castsi256_pd(lanes_of(bits >> (4 * group)));
            const __m256d step = _mm256_blendv_pd(nothing, added, mask);
            _mm256_storeu_pd(at + 4 * group, _mm256_add_pd(_mm256_loadu_pd(at + 4 * group), step));
        }
    }
}

void lane_sums(const double* terms, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
               double* lanes) {
    constexpr std::size_t registers = 4;  // lane = cell % 16
    const auto single = [&](std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t cell = from; cell < to; ++cell) {
            if ((taken[cell / 64] >> (cell % 64)) & 1u) lanes[cell % 16] = lanes[cell % 16] + terms[cell];
        }
    };
    // The cells before the first whole word go first and those after the
    // last go last, so that each lane stays in ascending order.
    const std::uint64_t head_end = std::min((begin + 63) / 64 * 64, end);
    single(begin, head_end);
    const std::uint64_t first = head_end / 64;
    const std::uint64_t last = std::max(end / 64, first);
    __m256d lane[registers];
    for (std::size_t r = 0; r < registers; ++r) lane[r] = _mm256_loadu_pd(lanes + 4 * r);
    for (std::uint64_t w = first; w < last; ++w) {
        const std::uint64_t bits = taken[w];
        const double* at = terms + w * 64;
        if (bits == 0) continue;
        for (unsigned group = 0; group < 16; group += registers) {
            for (std::size_t r = 0; r < registers; ++r) {
                // Cells not taken give +0.0, whatever their term (NaN too).
                const __m256d mask = _mm256_castsi256_pd(lanes_of(bits >> (4 * (group + r))));
                lane[r] = _mm256_add_pd(lane[r], _mm256_and_pd(_mm256_loadu_pd(at + 4 * (group + r)), mask));
            }
        }
    }
    for (std::size_t r = 0; r < registers; ++r) _mm256_storeu_pd(lanes + 4 * r, lane[r]);
    single(std::max(last * 64, head_end), end);
}

void chain_sums(const double* terms, const std::uint64_t* const* taken, std::size_t count, std::uint64_t begin,
                std::uint64_t end, double* sums) {
    constexpr std::size_t lanes = 4, registers = 4;  // 16 chains
    // Each chain's additions stay in cell order; the cells outside whole
    // words go first or last, in order too.
    const auto single = [&](std::uint64_t from, std::uint64_t to) {
        for (std::size_t a = 0; a < count; ++a) {
            for (std::uint64_t cell = from; cell < to; ++cell) {
                if ((taken[a][cell / 64] >> (cell % 64)) & 1u) sums[a] = sums[a] + terms[cell];
            }
        }
    };
    std::uint64_t first = 0, last = 0;
    const std::uint64_t head_end = std::min((begin + 63) / 64 * 64, end);
    single(begin, head_end);
    first = head_end / 64;
    last = end / 64;
    if (first > last) last = first;
    alignas(32) double lane_sums[lanes * registers] = {};
    for (std::size_t a = 0; a < count; ++a) lane_sums[a] = sums[a];
    __m256d chain[registers];
    for (std::size_t r = 0; r < registers; ++r) chain[r] = _mm256_load_pd(lane_sums + lanes * r);
    const __m256d nothing = _mm256_set1_pd(-0.0);
    alignas(32) std::uint64_t words[lanes * registers] = {};
    for (std::uint64_t w = first; w < last; ++w) {
        std::uint64_t any = 0;
        for (std::size_t a = 0; a < count; ++a) any |= words[a] = taken[a][w];
        if (any == 0) continue;
        __m256i bits[registers];
        for (std::size_t r = 0; r < registers; ++r) {
            bits[r] = _mm256_load_si256(reinterpret_cast<const __m256i*>(words + lanes * r));
        }
        __m256i bit = _mm256_set1_epi64x(1);
        const double* at = terms + w * 64;
        for (unsigned k = 0; k < 64; ++k) {
            const __m256d term = _mm256_broadcast_sd(at + k);
            for (std::size_t r = 0; r < registers; ++r) {
                const __m256d mask = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(bits[r], bit), bit));
                chain[r] = _mm256_add_pd(chain[r], _mm256_blendv_pd(nothing, term, mask));
            }
            bit = _mm256_slli_epi64(bit, 1);
        }
    }
    for (std::size_t r = 0; r < registers; ++r) _mm256_store_pd(lane_sums + lanes * r, chain[r]);
    for (std::size_t a = 0; a < count; ++a) sums[a] = lane_sums[a];
    single(std::max(last * 64, head_end), end);
}

}  // namespace allotra::avx2
