// The ChaCha block function with 12 rounds, in its original layout: constants
// in words 0-3, a 256-bit key in 4-11, a 64-bit block counter in 12-13 and a
// 64-bit stream number in 14-15, which the generator always leaves at 0.
#pragma once

#include <array>
#include <cstdint>

namespace allotra {

using ChaChaKey = std::array<std::uint8_t, 32>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter);

}  // namespace allotra
