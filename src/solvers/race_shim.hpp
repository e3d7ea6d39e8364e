// TEMPORARY stand-ins until the bulk generator, replay, exponential and stop flag land.
#pragma once
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>
#include "kernel/random.hpp"
namespace allotra {
inline void exponentials_from_bits(const std::uint64_t* bits, double* out, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) out[k] = -std::log((static_cast<double>(bits[k] >> 11) + 0.5) * 0x1p-53);
}
}
