// What every construction of a batch shares for one set of weights: the
// scales of the keys, the first step's total and where the bins sit.
#include <algorithm>
#include <cmath>
#include <limits>

#include "kernel/error.hpp"
#include "solvers/race.hpp"
#include "solvers/race_bins.hpp"

namespace allotra {

void check_race_limits(const RaceLimits& limits) {
    if (limits.bins < 1 || limits.bins > RaceLimits::max_bins) fail("the race's bin count is out of range");
    if (limits.octave_bits > RaceLimits::max_octave_bits) fail("the race's bins per octave are out of range");
    if (limits.slice < 1) fail("the race's slice is empty");
}

void finish_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits) {
    const std::uint64_t count = task.cells;
    const double* w = weights.weight.data();
    const std::int64_t* amount = task.amount;

    // One pass in row-major order: the first step's total must be the sum
    // that a step-by-step draw forms, in the same order.
    bool readmission = false;
    bool all_finite = true;
    double first_total = 0.0;
    double all_total = 0.0;
    double largest_fitting = 0.0;
    double lightest_fitting = HUGE_VAL;
    double largest = 0.0;
    std::uint64_t drawable_cells = 0;
    std::uint64_t fitting_cells = 0;
    WideInt together = 0;  // the amounts of the cells that fit the empty selection
    for (std::uint64_t cell = 0; cell < count; ++cell) {
        if (cell % stop_check_cells == 0) stop_if_requested();
        if (!drawable(w[cell])) continue;
        ++drawable_cells;
        readmission = readmission || amount[cell] < 0;
        const bool finite = std::isfinite(w[cell]);
        all_finite = all_finite && finite;
        all_total += w[cell];
        if (finite) largest = std::max(largest, w[cell]);
        if (fits(0, amount[cell], task.b_total)) {
            first_total += w[cell];
            ++fitting_cells;
            together += amount[cell];
            if (finite) largest_fitting = std::max(largest_fitting, w[cell]);
            lightest_fitting = std::min(lightest_fitting, w[cell]);
        }
    }
    weights.readmission = readmission;
    weights.first_total = first_total;
    // Every later candidate set is a subset of the first one unless freed
    // budget lets cells back; otherwise a later total can be infinite only if
    // all of them together are.
    weights.recheck_totals = readmission && !(all_finite && std::isfinite(all_total));
    // With no negative amount, a cell that does not fit the empty selection
    // never fits: its weight must not set the scale, or lighter cells could
    // all get infinite keys. Only infinite weights: their scale is 0 either way.
    weights.largest = readmission ? largest : largest_fitting;
    if (weights.largest == 0.0) weights.largest = 1.0;

    double* scale = weights.scale.data();
    const double top = weights.largest;
    run_in_chunks(count, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) {
            const bool in_race = drawable(w[cell]) && (readmission || fits(0, amount[cell], task.b_total));
            scale[cell] = in_race ? top / w[cell] : -1.0;
        }
    });
    if (readmission) {
        if (weights.weight_by_amount.size != count || !weights.weight_by_amount.storage) {
            weights.weight_by_amount = aligned_buffer<double>(count);
        }
        double* ordered = weights.weight_by_amount.data();
        const std::uint64_t* order = task.by_amount.data();
        run_in_chunks(count, [&](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t p = begin; p < end; ++p) ordered[p] = drawable(w[order[p]]) ? w[order[p]] : 0.0;
        });
    }

    const std::uint64_t candidates = readmission ? drawable_cells : fitting_cells;
    weights.candidates = candidates;
    weights.all_fit = !readmission && together <= WideInt(task.b_total);
    weights.bin_base = 0;
    group_race_cells(weights, task, limits, readmission ? HUGE_VAL : weights.largest / lightest_fitting);
    if (!weights.groups.active && !weights.all_fit && candidates > limits.sort_limit) {
        weights.bin_base = estimate_bin_base(
            count, [](std::uint64_t p) { return p; }, scale, amount, task.b_total, bin_shape(count, limits));
    }
}

}  // namespace allotra
