// The log-scale bins of the race's keys: a key's bin is its exponent and top
// mantissa bits, so bins keep the keys' order, counted from a base placed so
// that the bins straddle the key at which the budget is expected to run out.
// Keys beyond either end fall into the end bins, which stays exact, only
// slower, since the bin where the budget runs out is sorted.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "race/limits.hpp"

namespace allotra {

// The bins of one round: fewer for fewer cells, so that a small race does not
// pay for clearing and scanning thousands of bins, with as many fewer per
// octave, so that the bins still span as many octaves.
struct BinShape {
    std::uint32_t bins;
    std::uint32_t octave_bits;
};

inline BinShape bin_shape(std::uint64_t count, const RaceLimits& limits) {
    BinShape shape{limits.bins, limits.octave_bits};
    while (shape.bins >= 128 && shape.bins > count / 2 && shape.octave_bits > 0) {
        shape.bins /= 2;
        --shape.octave_bits;
    }
    return shape;
}

inline std::int64_t key_level(double key, const BinShape& shape) {
    return static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(key) >> (52 - shape.octave_bits));
}

// The smallest key above every key of `bin` (counted from `base`): +infinity
// for the top bin, which also holds every key beyond the bins.
inline double bin_end(std::int64_t base, std::uint32_t bin, const BinShape& shape) {
    const std::int64_t level = std::max<std::int64_t>(base + bin + 1, 0);
    if (bin + 1 >= shape.bins || level >= key_level(HUGE_VAL, shape)) return HUGE_VAL;
    return std::bit_cast<double>(static_cast<std::uint64_t>(level) << (52 - shape.octave_bits));
}

// The base that centres the bins on the key t at which the amounts of the
// cells expected to have a key below t reach `budget`. The expectation comes
// from about `samples` cells spread over the `count` positions; a cell of scale s
// has a key below t with probability 1 - exp(-t / s). Negative amounts count
// as 0: the bins must straddle the first key at which the positive amounts
// alone could pass the budget.
template <typename CellAt>
std::int64_t estimate_bin_base(std::uint64_t count, CellAt cell_at, const double* scale, const std::int64_t* amount,
                               std::int64_t budget, const BinShape& shape, std::uint64_t samples = 512) {
    const std::uint64_t step = std::max<std::uint64_t>(1, count / samples);
    // Each sampled position stands for count / positions of them.
    const double positions = static_cast<double>((count + step - 1) / step);
    const auto expected = [&](double t) {
        double sum = 0.0;
        for (std::uint64_t p = 0; p < count; p += step) {
            const std::uint64_t cell = cell_at(p);
            if (scale[cell] < 0.0) continue;
            sum += static_cast<double>(std::max<std::int64_t>(amount[cell], 0)) * -std::expm1(-t / scale[cell]);
        }
        return sum * static_cast<double>(count) / positions;
    };
    // The smallest power of two at which the expectation reaches the budget.
    int low = -64, high = 1023;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (expected(std::ldexp(1.0, middle)) >= static_cast<double>(budget)) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return key_level(std::ldexp(1.0, low), shape) - static_cast<std::int64_t>(shape.bins / 2);
}

}  // namespace allotra
