// A quick look at whether a construction can still win: its terms added in
// any order that is fast, and how far that sum can lie from the exact value,
// which adds them in the objective's order.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "kernel/pool/chunked.hpp"

namespace allotra {

// A sum of k terms in some order, and k. No order of adding k terms rounds
// further than (k - 1) u times the sum of their magnitudes from the exact sum
// (u = 2^-53, while k u is small): zeros added on the way round nothing.
struct QuickSum {
    double sum;
    std::uint64_t terms;
};

// The terms of the taken cells in four chains, a cell at a time in turn,
// with a look at the stop flag every stop_check_cells cells.
template <typename TermOf>
QuickSum chained_sum(const std::vector<std::uint64_t>& taken, TermOf term_of) {
    double lane[4] = {0.0, 0.0, 0.0, 0.0};
    std::uint64_t terms = 0;
    for (std::uint64_t w = 0; w < taken.size(); ++w) {
        if (w % (stop_check_cells / 64) == 0) stop_if_requested();
        std::uint64_t bits = taken[w];
        terms += static_cast<std::uint64_t>(std::popcount(bits));
        const std::uint64_t base = w * 64;
        for (unsigned k = 0; bits != 0; k = (k + 1) & 3u, bits &= bits - 1) {
            lane[k] += term_of(base + static_cast<std::uint64_t>(std::countr_zero(bits)));
        }
    }
    return {(lane[0] + lane[1]) + (lane[2] + lane[3]), terms};
}

// The terms of the cells that `taken` marks among the first `cells`: where
// at least one cell in sparse_share is taken, many at a time (lane_sums),
// which reads every term at the speed of a plain pass; where fewer are, in
// chains, which read only the cache lines of the taken cells. Either way,
// with a look at the stop flag every stop_check_cells cells.
inline constexpr std::uint64_t sparse_share = 8;
QuickSum quick_sum(const double* terms, const std::vector<std::uint64_t>& taken, std::uint64_t cells);

// Whether the exact value of k terms of magnitude at most `largest`, whose
// quick sum is `quick`, cannot exceed `must_beat`. A NaN anywhere says no.
bool cannot_exceed(const QuickSum& quick, double largest, double must_beat);

}  // namespace allotra
