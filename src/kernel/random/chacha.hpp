// The ChaCha block function with 12 rounds, in its original layout: constants
// in words 0-3, a 256-bit key in 4-11, a 64-bit block counter in 12-13 and a
// 64-bit stream number in 14-15, which the generator always leaves at 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace allotra {

using ChaChaKey = std::array<std::uint8_t, 32>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

inline constexpr std::size_t chacha_block_words = 16;

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter);

// Blocks first_counter, first_counter + 1, ... (the counter wraps modulo
// 2^64), 16 words each, one after another in `out`: the same words as
// `blocks` calls of chacha_block, produced several blocks at a time (with
// AVX2 where the processor has it).
void chacha_blocks(const ChaChaKey& key, std::uint64_t first_counter, std::size_t blocks, std::uint32_t* out);

namespace portable {
// The form without processor-specific instructions that chacha_blocks falls
// back on; AVX2 gives the same words.
void chacha_blocks(const ChaChaKey& key, std::uint64_t first_counter, std::size_t blocks, std::uint32_t* out);
}  // namespace portable

}  // namespace allotra
