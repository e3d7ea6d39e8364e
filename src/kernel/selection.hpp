// What one construction hands back to its solver loop: the chosen cells as a
// bitmap and the value, without the m x n matrix. A bit a cell whatever was
// chosen: a list took 4 bytes a chosen cell, about 20 times more where half
// the budget takes most cells, and a colony keeps a window of ants until
// they have deposited.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace allotra {

struct Selection {
    // Bit k of word w is the row-major cell 64 w + k; no words at all when
    // nothing was chosen (or the construction could not win, below).
    std::vector<std::uint64_t> taken;
    double value = 0.0;
};

// The value of a construction dropped before its exact value was summed,
// because a bound showed that it could not beat the best it had to beat: no
// value of a selection is -infinity (terms are finite or NaN), and it is
// below every value, so every best-of rule passes over it as it would have
// passed over the exact value.
inline constexpr double cannot_win = -std::numeric_limits<double>::infinity();

// Calls visit(cell) for every set bit of the words `taken` in [begin, end),
// ascending; every word up to cell end - 1 must exist.
template <typename Visit>
void for_each_taken(const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end, Visit&& visit) {
    if (begin >= end) return;
    const std::uint64_t last = (end - 1) / 64;
    for (std::uint64_t w = begin / 64; w <= last; ++w) {
        std::uint64_t bits = taken[w];
        if (w == begin / 64) bits &= ~std::uint64_t{0} << (begin % 64);
        if (w == last && end % 64 != 0) bits &= ~(~std::uint64_t{0} << (end % 64));
        for (; bits != 0; bits &= bits - 1) visit(w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits)));
    }
}

// The same over a bitmap's own words, however many it has.
template <typename Visit>
void for_each_taken(const std::vector<std::uint64_t>& taken, std::uint64_t begin, std::uint64_t end,
                    Visit&& visit) {
    for_each_taken(taken.data(), begin, std::min<std::uint64_t>(end, taken.size() * 64), visit);
}

inline std::uint64_t taken_count(const std::vector<std::uint64_t>& taken) {
    std::uint64_t count = 0;
    for (std::uint64_t word : taken) count += static_cast<std::uint64_t>(std::popcount(word));
    return count;
}

// A selection of `cells` (row-major, any order) on a grid of `grid_cells`.
template <typename Cells>
Selection selection_of_cells(std::uint64_t grid_cells, const Cells& cells, double value) {
    Selection selection{std::vector<std::uint64_t>((grid_cells + 63) / 64, 0), value};
    for (std::uint64_t cell : cells) selection.taken[cell / 64] |= std::uint64_t{1} << (cell % 64);
    return selection;
}

}  // namespace allotra
