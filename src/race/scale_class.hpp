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

// Past this many units of the fastest key process per cell, a cell's chance
// of no key in the interval is below exp(-38): a double does not tell it from
// 0, and every member still in the race is a candidate.
inline constexpr double every_cell = 76.0;

// A member of a merged group: its distance in classes from the group's first
// class, up to far_distance (which stands for any distance from it on), and
// below it the top 2 of its fine bits. A scan's odds take the distance alone
// (the place's top 6 bits).
inline constexpr unsigned far_distance = 63;
inline std::uint8_t merged_place_of(std::uint64_t distance, std::uint8_t fine) {
    return static_cast<std::uint8_t>(distance < far_distance ? distance << 2 | fine >> 6 : far_distance << 2);
}

// The bounds of least_scale_of(first) / s over the scales s of a merged
// group's members at `place`, where `first` has the low bit `half`: they
// depend on the first class only through that bit.
struct RatioBounds {
    double low;
    double high;
};
inline RatioBounds merged_ratio_bounds(unsigned half, std::uint8_t place) {
    const std::uint64_t distance = place >> 2;
    const double first = least_scale_of(half);
    const double least = least_scale_of(half + distance);
    if (distance >= far_distance) return {0.0, first / least};
    const double width = (least_scale_of(half + distance + 1) - least) / 4.0;
    const double quarter = place & 3;
    return {first / (least + (quarter + 1) * width), first / (least + quarter * width)};
}

}  // namespace allotra::race_detail
