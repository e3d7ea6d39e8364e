#include "kernel/chacha.hpp"

namespace allotra {

namespace {

constexpr int rounds = 12;

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

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter) {
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

}  // namespace allotra
