// One construction: the dispatch among the kinds of race, and the rounds that
// race anew the cells that still fit.
#include <algorithm>
#include <bit>
#include <utility>

#include "race/race.hpp"
#include "race/result.hpp"
#include "race/state.hpp"

namespace allotra {

namespace race_detail {

namespace {

// A round whose heaviest cell has a stored scale above this is raced on its
// own scale: keys near its end would overflow.
constexpr double rescale_above = 0x1p512;

// The cells that place a later round's bins. The bisection reads each of them
// (an expm1) at every step; a round is short, so this was most of its cost on
// small grids, and the bins need the key where the budget runs out only to
// within an octave or two.
constexpr std::uint64_t later_round_samples = 64;

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
    LargeVector<std::uint64_t>& round = scratch_.round;
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
                estimate_bin_base(round.size(), listed, scale_, amount_, remaining,
                                  bin_shape(round.size(), limits_), later_round_samples);
            finished = binned_round(round.size(), listed, base, remaining);
        }
    }
}

}  // namespace race_detail

Selection construct_race(const RaceTask& task, const RaceWeights& weights, RaceScratch& scratch,
                         RandomGenerator& generator, const RaceLimits& limits, double must_beat) {
    check_race_limits(limits);
    if (weights.candidates == 0) return Selection{};
    check_total_is_finite(weights.first_total);
    race_detail::Race race(task, weights, scratch, generator, limits);
    race.run();
    return finish_selection(task, scratch, must_beat);
}

Selection construct_race_unvalued(const RaceTask& task, const RaceWeights& weights, RaceScratch& scratch,
                                  RandomGenerator& generator, const RaceLimits& limits) {
    check_race_limits(limits);
    if (weights.candidates == 0) return Selection{};
    check_total_is_finite(weights.first_total);
    race_detail::Race race(task, weights, scratch, generator, limits);
    race.run();
    return unvalued_selection(scratch);
}

}  // namespace allotra
