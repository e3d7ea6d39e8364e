// A quick look at whether a construction can still win: its terms added in
// any order that is fast, and how far that sum can lie from the exact value,
// which adds them in the objective's order.
#pragma once

#include <cstdint>
#include <vector>

namespace allotra {

// A sum of k terms in some order, and k. No order of adding k terms rounds
// further than (k - 1) u times the sum of their magnitudes from the exact sum
// (u = 2^-53, while k u is small): zeros added on the way round nothing.
struct QuickSum {
    double sum;
    std::uint64_t terms;
};

// The terms of the cells that `taken` marks among the first `cells`, added
// many at a time (lane_sums), with a look at the stop flag every
// stop_check_cells cells.
QuickSum quick_sum(const double* terms, const std::vector<std::uint64_t>& taken, std::uint64_t cells);

// Whether the exact value of k terms of magnitude at most `largest`, whose
// quick sum is `quick`, cannot exceed `must_beat`. A NaN anywhere says no.
bool cannot_exceed(const QuickSum& quick, double largest, double must_beat);

}  // namespace allotra
