// The split by odds 32 members at a time: a place's odds are looked up in
// four 16-entry tables by its low four bits, the table chosen by its top two,
// and the bytes compared without sign. Compiled for AVX2 alone (see
// avx2_kernels.hpp).
#include <immintrin.h>


#include "kernel/simd/avx2_kernels.hpp"

namespace allotra::avx2 {

namespace {

// The 64 entries of `table` at the places of `place` (values 0 to 63).
__m256i look_up(const std::uint8_t* table, __m256i place) {
    const __m256i low = _mm256_and_si256(place, _mm256_set1_epi8(0x0F));
    const __m256i top = _mm256_srli_epi16(_mm256_and_si256(place, _mm256_set1_epi8(0x30)), 4);
    __m256i found = _mm256_setzero_si256();
    for (int quarter = 0; quarter < 4; ++quarter) {
        const __m128i part = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * quarter));
        const __m256i entries = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(part), low);
        const __m256i here = _mm256_cmpeq_epi8(top, _mm256_set1_epi8(static_cast<char>(quarter)));
        found = _mm256_blendv_epi8(found, entries, here);
    }
    return found;
}

}  // namespace

void split_by_odds(const std::uint64_t* random, const std::uint8_t* fine, std::size_t n, const std::uint8_t* below,
                   const std::uint8_t* last, std::uint64_t* drawn, std::uint64_t* undecided) {
    const __m256i sign = _mm256_set1_epi8(static_cast<char>(0x80));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(random);
    std::size_t k = 0;
    for (; k + 64 <= n; k += 64) {
        std::uint64_t surely = 0, open = 0;
        for (int half = 0; half < 2; ++half) {
            const std::size_t at = k + 32 * static_cast<std::size_t>(half);
            const __m256i byte =
                _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + at)), sign);
            const __m256i place = _mm256_and_si256(
                _mm256_srli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(fine + at)), 2),
                _mm256_set1_epi8(0x3F));
            const __m256i low = _mm256_xor_si256(look_up(below, place), sign);
            const __m256i high = _mm256_xor_si256(look_up(last, place), sign);
            const __m256i is_below = _mm256_cmpgt_epi8(low, byte);
            const __m256i is_above = _mm256_cmpgt_epi8(byte, high);
            const auto below_bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(is_below));
            const auto open_bits =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_andnot_si256(is_above, _mm256_set1_epi8(-1)))) &
                ~below_bits;
            surely |= std::uint64_t{below_bits} << (32 * half);
            open |= std::uint64_t{open_bits} << (32 * half);
        }
        drawn[k / 64] = surely;
        undecided[k / 64] = open;
    }
    // The last, partial word: byte by byte, as the portable form.
    if (k < n) {
        std::uint64_t surely = 0, open = 0;
        for (std::size_t j = 0; k + j < n; ++j) {
            const unsigned byte = bytes[k + j];
            const unsigned place = fine[k + j] >> 2;
            const bool is_below = byte < below[place];
            surely |= std::uint64_t{is_below} << j;
            open |= std::uint64_t{!is_below && byte <= last[place]} << j;
        }
        drawn[k / 64] = surely;
        undecided[k / 64] = open;
    }
}

}  // namespace allotra::avx2
