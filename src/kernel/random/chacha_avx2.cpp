// ChaCha blocks eight at a time, one block per 32-bit lane of an AVX2
// register. Compiled for AVX2 alone; see simd/avx2_kernels.hpp.
#include <immintrin.h>

#include <cstring>

#include "kernel/simd/avx2_kernels.hpp"

namespace allotra::avx2 {

namespace {

constexpr int rounds = 12;
constexpr std::size_t lanes = 8;

inline __m256i rotate_left(__m256i x, int bits) {
    return _mm256_or_si256(_mm256_slli_epi32(x, bits), _mm256_srli_epi32(x, 32 - bits));
}

// Rotations by whole bytes are one byte shuffle.
inline __m256i rotate_left_16(__m256i x) {
    const __m256i order = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                           2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(x, order);
}

inline __m256i rotate_left_8(__m256i x) {
    const __m256i order = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                           3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return _mm256_shuffle_epi8(x, order);
}

// Rows r[0..7] (one word of eight blocks each) become eight blocks' words
// 0-7 of that group: out_rows[l] holds the eight words of lane l.
inline void transpose(const __m256i* r, __m256i* out_rows) {
    const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
    const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
    const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
    out_rows[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
    out_rows[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
    out_rows[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
    out_rows[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
    out_rows[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
    out_rows[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
    out_rows[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
    out_rows[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

#define ALLOTRA_QUARTER_ROUND(a, b, c, d)                                              \
    a = _mm256_add_epi32(a, b); d = rotate_left_16(_mm256_xor_si256(d, a));            \
    c = _mm256_add_epi32(c, d); b = rotate_left(_mm256_xor_si256(b, c), 12);           \
    a = _mm256_add_epi32(a, b); d = rotate_left_8(_mm256_xor_si256(d, a));             \
    c = _mm256_add_epi32(c, d); b = rotate_left(_mm256_xor_si256(b, c), 7)

// Eight blocks from `counter` on into out[0 .. 128). The state lives in
// sixteen named variables rather than an array, which lets the compiler keep
// nearly all of it in the sixteen registers.
void eight_blocks(const __m256i* fixed, std::uint64_t counter, std::uint32_t* out) {
    // Lane l counts counter + l; a carry out of the low word goes to word 13.
    const __m256i steps = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i low_start = _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(counter)));
    const __m256i low = _mm256_add_epi32(low_start, steps);
    const __m256i sign = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    // Unsigned low < low_start means the lane wrapped: the compare gives -1.
    const __m256i wrapped = _mm256_cmpgt_epi32(_mm256_xor_si256(low_start, sign), _mm256_xor_si256(low, sign));
    const __m256i high = _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(counter >> 32))),
                                          wrapped);

    __m256i x0 = fixed[0], x1 = fixed[1], x2 = fixed[2], x3 = fixed[3];
    __m256i x4 = fixed[4], x5 = fixed[5], x6 = fixed[6], x7 = fixed[7];
    __m256i x8 = fixed[8], x9 = fixed[9], x10 = fixed[10], x11 = fixed[11];
    __m256i x12 = low, x13 = high, x14 = fixed[14], x15 = fixed[15];
    for (int i = 0; i < rounds / 2; ++i) {
        ALLOTRA_QUARTER_ROUND(x0, x4, x8, x12);
        ALLOTRA_QUARTER_ROUND(x1, x5, x9, x13);
        ALLOTRA_QUARTER_ROUND(x2, x6, x10, x14);
        ALLOTRA_QUARTER_ROUND(x3, x7, x11, x15);
        ALLOTRA_QUARTER_ROUND(x0, x5, x10, x15);
        ALLOTRA_QUARTER_ROUND(x1, x6, x11, x12);
        ALLOTRA_QUARTER_ROUND(x2, x7, x8, x13);
        ALLOTRA_QUARTER_ROUND(x3, x4, x9, x14);
    }
    __m256i s[16] = {x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15};
    for (int w = 0; w < 16; ++w) s[w] = _mm256_add_epi32(s[w], fixed[w]);
    s[12] = _mm256_add_epi32(x12, low);
    s[13] = _mm256_add_epi32(x13, high);

    __m256i first_half[lanes], second_half[lanes];
    transpose(s, first_half);
    transpose(s + 8, second_half);
    for (std::size_t l = 0; l < lanes; ++l) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * l), first_half[l]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * l + 8), second_half[l]);
    }
}

#undef ALLOTRA_QUARTER_ROUND

}  // namespace

void chacha_blocks(const std::uint8_t* key, std::uint64_t first_counter, std::size_t blocks, std::uint32_t* out) {
    __m256i fixed[16];
    // "expand 32-byte k"
    fixed[0] = _mm256_set1_epi32(0x61707865);
    fixed[1] = _mm256_set1_epi32(0x3320646e);
    fixed[2] = _mm256_set1_epi32(0x79622d32);
    fixed[3] = _mm256_set1_epi32(0x6b206574);
    for (int i = 0; i < 8; ++i) {
        // The key's bytes are little-endian words, as is every x86 processor.
        std::uint32_t word;
        std::memcpy(&word, key + 4 * i, sizeof word);
        fixed[4 + i] = _mm256_set1_epi32(static_cast<int>(word));
    }
    fixed[12] = fixed[13] = _mm256_setzero_si256();  // the counter, set per group of eight
    fixed[14] = fixed[15] = _mm256_setzero_si256();  // the stream number

    std::size_t done = 0;
    for (; blocks - done >= lanes; done += lanes) eight_blocks(fixed, first_counter + done, out + 16 * done);
    if (done < blocks) {
        alignas(32) std::uint32_t last[16 * lanes];
        eight_blocks(fixed, first_counter + done, last);
        std::memcpy(out + 16 * done, last, 16 * sizeof(std::uint32_t) * (blocks - done));
    }
}

}  // namespace allotra::avx2
