// -ln(u) for the u that 64 random bits stand for, written once and compiled
// into both the portable and the AVX2 translation unit. Only IEEE-rounded
// +, -, *, / and integer bit operations appear, with no fused multiply-add
// (the core is built with contraction off), so both copies give the same
// bits on every input. The functions have internal linkage on purpose: each
// unit must keep its own copy, since an inline function shared between them
// could be replaced at link time by the copy compiled for AVX2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace allotra {
namespace {

inline double exponential_as_double(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

inline std::uint64_t exponential_as_bits(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// ln 2 in two parts: the high part has 42 significant bits, so its product
// with any scale exponent here (at most 54, six bits) is exact.
constexpr double ln2_high = 0x1.62e42fefa3800p-1;
constexpr double ln2_low = 0x1.ef35793c76730p-45;
// Adding this to the bits of a double carries into its exponent exactly when
// its significand is at least that of sqrt(2) (bits 0x3FF6A09E667F3BCD).
constexpr std::uint64_t sqrt2_carry = 0x0010000000000000ull - 0x0006A09E667F3BCDull;

// -ln(u) with u = ((bits >> 11) + 1/2) * 2^-53, the exact odd multiple of
// 2^-54 that the top 53 bits pick in (0, 1), within about one unit in the
// last place. Branch-free so that a loop of it vectorises.
inline double exponential_from_bits(std::uint64_t bits) {
    // u needs 54 bits, one more than a double has, so it is carried as
    // a + b: a, the top 52 bits as a multiple of 2^-52 plus 2^-53 (exact: the
    // difference of a double in [1, 2) and 1 - 2^-53, and never 0), and b,
    // +2^-54 when the 53rd bit is set and -2^-54 when it is clear.
    const double a = exponential_as_double(0x3FF0000000000000ull | (bits >> 12)) - (1.0 - 0x1p-53);
    const double b = exponential_as_double(0xBC90000000000000ull ^ ((bits << 52) & 0x8000000000000000ull));

    // u = 2^k (1 + f) with 1 + f in [sqrt(1/2), sqrt(2)); k (from -54 to 0)
    // comes from the rounded sum, which is close enough to choose the scale.
    const std::uint64_t biased_k = (exponential_as_bits(a + b) + sqrt2_carry) >> 52;
    // Both are scaled by 2^-k in their exponent fields (neither is 0 and
    // both stay normal); a 2^-k - 1 is exact, and so is the sum: it is a
    // multiple of 2^(-54-k) below 1/2 in magnitude.
    const std::uint64_t scale_exponent = (1023 - biased_k) << 52;
    const double a_scaled = exponential_as_double(exponential_as_bits(a) + scale_exponent);
    const double b_scaled = exponential_as_double(exponential_as_bits(b) + scale_exponent);
    const double f = (a_scaled - 1.0) + b_scaled;
    // -k = 1023 - biased_k: biased_k sits in the significand of 2^52.
    const double minus_k = (0x1p52 + 1023.0) - exponential_as_double(0x4330000000000000ull | biased_k);

    // ln(1 + f) = 2 atanh(s) = 2s + s R(s^2) with s = f / (2 + f); since
    // 2s = f - s f, that is f - s (f - R), where the rounding of s touches
    // only the correction s (f - R), at most a fifth of the result. R(z) =
    // z P(z) stands for the atanh series 2z/3 + 2z^2/5 + ...; P is a degree-6
    // Chebyshev fit of it on z in [0, 0.0296] (|s| <= 3 - 2 sqrt(2) and a
    // little more), within 2^-56 of R there, evaluated in Estrin's order for
    // shorter dependency chains.
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double z2 = z * z;
    const double z4 = z2 * z2;
    const double r = z * ((0x1.5555555555558p-1 + z * 0x1.9999999995077p-2) +
                          z2 * (0x1.2492492e35998p-2 + z * 0x1.c71c628e9e0c9p-3) +
                          z4 * ((0x1.7462cd53e5318p-3 + z * 0x1.39fb2efe206abp-3) + z2 * 0x1.2b7fa64da1a6ap-3));
    return minus_k * ln2_high + ((s * (f - r) + minus_k * ln2_low) - f);
}

// The loop both units run. Groups of 16 put the work of several vectors side
// by side, so that the long chain of each value (a division, then the
// polynomial) overlaps with the others' instead of stalling on them.
inline void exponentials_in_groups(const std::uint64_t* bits, double* out, std::size_t n) {
    constexpr std::size_t group = 16;
    std::size_t k = 0;
    for (; n - k >= group; k += group) {
        double keys[group];
        for (std::size_t j = 0; j < group; ++j) keys[j] = exponential_from_bits(bits[k + j]);
        for (std::size_t j = 0; j < group; ++j) out[k + j] = keys[j];
    }
    for (; k < n; ++k) out[k] = exponential_from_bits(bits[k]);
}

}  // namespace
}  // namespace allotra
