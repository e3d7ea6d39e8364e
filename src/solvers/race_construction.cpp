// One construction: the dispatch among the kinds of race, the rounds that
// race anew the cells that still fit, and the selection the race leaves.
#include <algorithm>
#include <bit>

#include "solvers/race_state.hpp"

namespace allotra {

namespace race_detail {

namespace {

// A round whose heaviest cell has a stored scale above this is raced on its
// own scale: keys near its end would overflow.
constexpr double rescale_above = 0x1p512;

}  // namespace

void Race::run() {
    if (weights_.all_fit) {
        for (std::uint64_t cell = 0; cell < task_.cells; ++cell) {
            if (cell % stop_check_cells == 0) check_stop();
            if (scale_[cell] >= 0.0) take(cell);
        }
        return;
    }
    if (weights_.readmission) return readmitting_race();
    if (weights_.groups.active) return skipping_race();
    std::int64_t remaining = task_.b_total;
    if (weights_.candidates <= limits_.step_limit) return step_by_step(remaining);
    const EveryCell every_cell;
    const StoredScale stored{scale_};
    bool finished = weights_.candidates <= limits_.sort_limit
                        ? sorted_race(task_.cells, every_cell, stored, remaining)
                        : binned_round(task_.cells, every_cell, weights_.bin_base, remaining);
    // The cells that still fit, raced anew, until a round ends with every
    // one of them taken.
    std::vector<std::uint64_t>& round = scratch_.round;
    while (!finished) {
        const double smallest_scale = collect_fitting(remaining);
        std::swap(round, scratch_.pending);
        if (round.empty()) return;
        const Listed listed{round.data()};
        if (smallest_scale > rescale_above) {
            double largest = 0.0;
            for (std::uint64_t cell : round) largest = std::max(largest, weights_.weight[cell]);
            finished = sorted_race(round.size(), listed, RoundScale{weights_.weight.data(), largest}, remaining);
        } else if (round.size() <= limits_.sort_limit) {
            finished = sorted_race(round.size(), listed, stored, remaining);
        } else {
            const std::int64_t base =
                estimate_bin_base(round.size(), listed, scale_, amount_, remaining, bin_shape(round.size(), limits_));
            finished = binned_round(round.size(), listed, base, remaining);
        }
    }
}

}  // namespace race_detail

namespace {

// The taken cells in row-major order, and their value with the terms added
// in the objective's order, each computed as the objective computes it (c as
// a double, times 1 - omega), so that it is bit-identical.
Selection selection_of(const RaceTask& task, const std::vector<std::uint64_t>& taken) {
    Selection selection;
    std::uint64_t chosen = 0;
    for (std::uint64_t word : taken) chosen += static_cast<std::uint64_t>(std::popcount(word));
    selection.cells.assign_set_bits(taken, chosen);
    const auto term = [c = task.c, omega = task.omega](std::uint64_t i, std::uint64_t j) {
        return static_cast<double>(*c->ptr(i, j)) * (1.0 - *omega->ptr(i, j));
    };
    double value = 0.0;
    if (task.by_column) {
        const std::uint64_t m = task.cells / task.n;
        for (std::uint64_t j = 0; j < task.n; ++j) {
            stop_if_requested();
            for (std::uint64_t i = 0, cell = j; i < m; ++i, cell += task.n) {
                if ((taken[cell / 64] >> (cell % 64)) & 1u) value = value + term(i, j);
            }
        }
    } else {
        const std::int64_t* c = task.c->ptr(0, 0);
        const double* omega = task.omega->ptr(0, 0);
        const std::int64_t n = static_cast<std::int64_t>(task.n);
        const bool flat = task.c->col_stride == 1 && task.c->row_stride == n && task.omega->col_stride == 1 &&
                          task.omega->row_stride == n;
        // Row and column followed from cell to cell (the cells ascend),
        // unless both matrices are laid out as the cells are. The sum stays
        // in a register over each stretch between two looks at the stop flag.
        std::uint64_t i = 0, j = 0, at = 0;
        const CellList& cells = selection.cells;
        for (std::uint64_t begin = 0; begin < cells.size(); begin += stop_check_cells) {
            stop_if_requested();
            const std::uint64_t end = std::min<std::uint64_t>(cells.size(), begin + stop_check_cells);
            double sum = value;
            if (flat) {
                for (std::uint64_t k = begin; k < end; ++k) {
                    const std::uint64_t cell = cells[k];
                    sum = sum + static_cast<double>(c[cell]) * (1.0 - omega[cell]);
                }
            } else {
                for (std::uint64_t k = begin; k < end; ++k) {
                    const std::uint64_t cell = cells[k];
                    for (j += cell - at, at = cell; j >= task.n; j -= task.n) ++i;
                    sum = sum + term(i, j);
                }
            }
            value = sum;
        }
    }
    selection.value = value;
    return selection;
}

}  // namespace

Selection construct_race(const RaceTask& task, const RaceWeights& weights, RaceScratch& scratch,
                         RandomGenerator& generator, const RaceLimits& limits) {
    check_race_limits(limits);
    if (weights.candidates == 0) return Selection{};
    check_total_is_finite(weights.first_total);
    race_detail::Race race(task, weights, scratch, generator, limits);
    race.run();
    return selection_of(task, scratch.taken);
}

}  // namespace allotra
