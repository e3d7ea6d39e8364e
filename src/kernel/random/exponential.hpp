// Exponentially distributed keys from random bits, many at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace allotra {

// out[k] = -ln(u_k), u_k = ((bits[k] >> 11) + 1/2) * 2^-53 taken exactly:
// u is never 0 or 1, so every result is finite and positive (from about
// 5.6e-17 to 37.43). Within one unit in the last place of the exact value;
// the AVX2 and the portable forms give the same bits.
void exponentials_from_bits(const std::uint64_t* bits, double* out, std::size_t n);

namespace portable {
void exponentials_from_bits(const std::uint64_t* bits, double* out, std::size_t n);
}  // namespace portable

}  // namespace allotra
