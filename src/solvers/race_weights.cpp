// What every construction of a batch shares for one set of weights: the
// scales of the keys, the first step's total and where the bins sit.
#include <algorithm>
#include <cmath>
#include <limits>

#include "solvers/race.hpp"
#include "solvers/race_bins.hpp"

namespace allotra {

void finish_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits) {
    const std::uint64_t count = task.cells;
    const double* w = weights.weight.data();
    const std::int64_t* amount = task.amount.data();

    // One pass in row-major order: the first step's total must be the sum
    // that a step-by-step draw forms, in the same order.
    bool readmission = false;
    bool all_finite = true;
    double first_total = 0.0;
    double all_total = 0.0;
    double largest = 0.0;
    std::uint64_t drawable_cells = 0;
    std::uint64_t fitting_cells = 0;
    WideInt together = 0;  // the amounts of the cells that fit the empty selection
    for (std::uint64_t cell = 0; cell < count; ++cell) {
        if (!drawable(w[cell])) continue;
        ++drawable_cells;
        readmission = readmission || amount[cell] < 0;
        if (fits(0, amount[cell], task.b_total)) {
            first_total += w[cell];
            ++fitting_cells;
            together += amount[cell];
        }
        all_total += w[cell];
        if (std::isfinite(w[cell])) {
            largest = std::max(largest, w[cell]);
        } else {
            all_finite = false;
        }
    }
    weights.readmission = readmission;
    weights.first_total = first_total;
    // Every later candidate set is a subset of the first one unless freed
    // budget lets cells back, and a subset's running sum never exceeds the
    // whole's; otherwise a later total can be infinite only if all of them
    // together are.
    weights.recheck_totals = readmission && !(all_finite && std::isfinite(all_total));
    if (largest == 0.0) largest = 1.0;  // only infinite weights: their scale is 0 either way

    double* scale = weights.scale.data();
    run_in_chunks(count, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) {
            const bool in_race = drawable(w[cell]) && (readmission || fits(0, amount[cell], task.b_total));
            scale[cell] = in_race ? largest / w[cell] : -1.0;
        }
    });

    const std::uint64_t candidates = readmission ? drawable_cells : fitting_cells;
    weights.candidates = candidates;
    weights.all_fit = !readmission && together <= WideInt(task.b_total);
    weights.bin_base = 0;
    if (!weights.all_fit && !readmission && candidates > limits.sort_limit) {
        weights.bin_base = estimate_bin_base(
            count, [](std::uint64_t p) { return p; }, scale, amount, task.b_total, bin_shape(count, limits));
    }
}

}  // namespace allotra
