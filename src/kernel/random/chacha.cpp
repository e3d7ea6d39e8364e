// The ChaCha12 block function and a stream's blocks in portable form, and the
// choice of the AVX2 form where it runs.
#include "kernel/random/chacha.hpp"

#include <cstring>

#include "kernel/simd/simd_dispatch.hpp"
#if defined(ALLOTRA_AVX2_KERNELS)
#include "kernel/simd/avx2_kernels.hpp"
#endif

namespace allotra {

namespace {

constexpr int rounds = 12;
// Blocks computed side by side in the portable form: four 32-bit lanes fill
// one SSE2 register, which every x86-64 processor has.
constexpr std::size_t lanes = 4;

constexpr std::uint32_t rotate_left(std::uint32_t x, int bits) {
    return (x << bits) | (x >> (32 - bits));
}

inline void quarter_round(ChaChaBlock& s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] ^= s[a]; s[d] = rotate_left(s[d], 16);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = rotate_left(s[b], 12);
    s[a] += s[b]; s[d] ^= s[a]; s[d] = rotate_left(s[d], 8);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = rotate_left(s[b], 7);
}

// Byte order is fixed to little-endian regardless of the host.
inline std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

ChaChaBlock initial_state(const ChaChaKey& key, std::uint64_t counter) {
    ChaChaBlock input{};
    // "expand 32-byte k"
    input[0] = 0x61707865u;
    input[1] = 0x3320646eu;
    input[2] = 0x79622d32u;
    input[3] = 0x6b206574u;
    for (int i = 0; i < 8; ++i) input[4 + i] = load_le32(key.data() + 4 * i);
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    // Words 14-15, the stream number, stay 0.
    return input;
}

// One word of `lanes` blocks side by side. GCC and Clang get their generic
// vector type, which they turn into SSE2 or NEON instructions (or plain ones)
// for whatever processor they compile for; their vectorisers do not manage
// this on their own as reliably. Elsewhere small loops over the lanes do the
// same work.
#if defined(__GNUC__)
typedef std::uint32_t LaneVector __attribute__((vector_size(4 * lanes)));

struct Lanes {
    LaneVector v;
};

inline Lanes operator+(Lanes x, Lanes y) { return {x.v + y.v}; }
inline Lanes operator^(Lanes x, Lanes y) { return {x.v ^ y.v}; }
inline Lanes rotate_left(Lanes x, int bits) { return {(x.v << bits) | (x.v >> (32 - bits))}; }

inline Lanes broadcast(std::uint32_t word) { return {LaneVector{} + word}; }
#else
struct Lanes {
    std::uint32_t v[lanes];
};

inline Lanes operator+(Lanes x, Lanes y) {
    for (std::size_t l = 0; l < lanes; ++l) x.v[l] += y.v[l];
    return x;
}

inline Lanes operator^(Lanes x, Lanes y) {
    for (std::size_t l = 0; l < lanes; ++l) x.v[l] ^= y.v[l];
    return x;
}

inline Lanes rotate_left(Lanes x, int bits) {
    for (std::size_t l = 0; l < lanes; ++l) x.v[l] = (x.v[l] << bits) | (x.v[l] >> (32 - bits));
    return x;
}

inline Lanes broadcast(std::uint32_t word) {
    Lanes x;
    for (std::size_t l = 0; l < lanes; ++l) x.v[l] = word;
    return x;
}
#endif

inline void lane_quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a = a + b; d = rotate_left(d ^ a, 16);
    c = c + d; b = rotate_left(b ^ c, 12);
    a = a + b; d = rotate_left(d ^ a, 8);
    c = c + d; b = rotate_left(b ^ c, 7);
}

void lane_blocks(const ChaChaBlock& first_input, std::uint64_t first_counter, std::uint32_t* out) {
    Lanes input[16];
    for (std::size_t w = 0; w < 16; ++w) input[w] = broadcast(first_input[w]);
    Lanes low{}, high{};
    for (std::size_t l = 0; l < lanes; ++l) {
        const std::uint64_t counter = first_counter + l;
        low.v[l] = static_cast<std::uint32_t>(counter);
        high.v[l] = static_cast<std::uint32_t>(counter >> 32);
    }
    input[12] = low;
    input[13] = high;
    Lanes x0 = input[0], x1 = input[1], x2 = input[2], x3 = input[3];
    Lanes x4 = input[4], x5 = input[5], x6 = input[6], x7 = input[7];
    Lanes x8 = input[8], x9 = input[9], x10 = input[10], x11 = input[11];
    Lanes x12 = input[12], x13 = input[13], x14 = input[14], x15 = input[15];
    for (int i = 0; i < rounds / 2; ++i) {
        lane_quarter_round(x0, x4, x8, x12);
        lane_quarter_round(x1, x5, x9, x13);
        lane_quarter_round(x2, x6, x10, x14);
        lane_quarter_round(x3, x7, x11, x15);
        lane_quarter_round(x0, x5, x10, x15);
        lane_quarter_round(x1, x6, x11, x12);
        lane_quarter_round(x2, x7, x8, x13);
        lane_quarter_round(x3, x4, x9, x14);
    }
    const Lanes s[16] = {x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15};
    std::uint32_t blocks[lanes][16];
    for (std::size_t w = 0; w < 16; ++w) {
        const Lanes sum = s[w] + input[w];
        for (std::size_t l = 0; l < lanes; ++l) blocks[l][w] = sum.v[l];
    }
    // Copied as bytes: `out` may be the storage of other objects (the
    // generator writes 64-bit values through it).
    std::memcpy(out, blocks, sizeof blocks);
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter) {
    const ChaChaBlock input = initial_state(key, counter);
    ChaChaBlock state = input;
    for (int i = 0; i < rounds / 2; ++i) {
        // Column round.
        quarter_round(state, 0, 4, 8, 12);
        quarter_round(state, 1, 5, 9, 13);
        quarter_round(state, 2, 6, 10, 14);
        quarter_round(state, 3, 7, 11, 15);
        // Diagonal round.
        quarter_round(state, 0, 5, 10, 15);
        quarter_round(state, 1, 6, 11, 12);
        quarter_round(state, 2, 7, 8, 13);
        quarter_round(state, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) state[i] += input[i];
    return state;
}

namespace portable {

void chacha_blocks(const ChaChaKey& key, std::uint64_t first_counter, std::size_t blocks, std::uint32_t* out) {
    const ChaChaBlock first_input = initial_state(key, first_counter);
    std::size_t done = 0;
    for (; blocks - done >= lanes; done += lanes) lane_blocks(first_input, first_counter + done, out + 16 * done);
    for (; done < blocks; ++done) {
        const ChaChaBlock block = chacha_block(key, first_counter + done);
        std::memcpy(out + 16 * done, block.data(), sizeof block);
    }
}

}  // namespace portable

void chacha_blocks(const ChaChaKey& key, std::uint64_t first_counter, std::size_t blocks, std::uint32_t* out) {
#if defined(ALLOTRA_AVX2_KERNELS)
    if (simd::use_avx2()) {
        avx2::chacha_blocks(key.data(), first_counter, blocks, out);
        return;
    }
#endif
    portable::chacha_blocks(key, first_counter, blocks, out);
}

}  // namespace allotra
