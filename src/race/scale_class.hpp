// The class of a key's scale in a race that skips: the scale's exponent and
// top mantissa bit (two classes an octave), counted from the class of 1, and
// the fine bits below them that place a scale within its class.
#pragma once

#include <bit>
#include <cstdint>


namespace allotra::race_detail {

// The mantissa bits that a class takes, and those below them that place a
// scale in its class (a group member keeps them).
inline constexpr unsigned class_bits = 1;
inline constexpr unsigned fine_bits = 8;
inline constexpr int class_shift = 52 - static_cast<int>(class_bits);

inline std::uint64_t class_of(double scale) {
    return (std::bit_cast<std::uint64_t>(scale) >> class_shift) - (std::bit_cast<std::uint64_t>(1.0) >> class_shift);
}

inline std::uint8_t fine_of(double scale) {
    return static_cast<std::uint8_t>(std::bit_cast<std::uint64_t>(scale) >> (class_shift - fine_bits));
}

inline double least_scale_of(std::uint64_t cls) {
    return std::bit_cast<double>((cls + (std::bit_cast<std::uint64_t>(1.0) >> class_shift)) << class_shift);
}

}  // namespace allotra::race_detail
