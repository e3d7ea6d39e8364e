// The quick sum of a selection's terms and the bound on its distance from
// the exact value.
#include "race/quick_sum.hpp"

#include <algorithm>

#include "kernel/selection.hpp"
#include "kernel/simd/taken_cells.hpp"
#include "kernel/pool/worker_pool.hpp"

namespace allotra {

QuickSum quick_sum(const double* terms, const std::vector<std::uint64_t>& taken, std::uint64_t cells) {
    const std::uint64_t count = taken_count(taken);
    if (count < cells / sparse_share) return chained_sum(taken, [terms](std::uint64_t cell) { return terms[cell]; });
    double lanes[lane_count] = {};
    const std::uint64_t end = std::min<std::uint64_t>(cells, taken.size() * 64);
    for (std::uint64_t begin = 0; begin < end; begin += stop_check_cells) {
        stop_if_requested();
        lane_sums(terms, taken.data(), begin, std::min(begin + stop_check_cells, end), lanes);
    }
    return {lane_total(lanes), count};
}

// The quick and the exact sum each lie at most (k - 1) u k largest from the
// true sum, so they part by at most 2 (k - 1) u k largest; the bound is twice
// that, which also covers the rounding of the bound and of its sum with
// `quick`.
bool cannot_exceed(const QuickSum& quick, double largest, double must_beat) {
    const double k = static_cast<double>(quick.terms);
    if (k > 0x1p40) return false;  // k u no longer small
    const double bound = k * k * largest * 0x1p-51;
    return quick.sum + bound <= must_beat;
}

}  // namespace allotra
