// The race when drawable cells have negative amounts: a cell skipped because
// it did not fit can fit again once a negative amount gives budget back.
//
// By memorylessness, the skipped cells that fit at a moment ring together at
// the rate of their total weight, and the one that rings is drawn in
// proportion to weight; nothing needs to happen for the skipped cells that
// do not fit. Later, when the race forgets its keys, every free cell is alike
// (a fresh clock of its weight), so the rest of the race is the sequential
// draw itself: one free cell that fits at a time, in proportion to weight.
// The cells that fit are a prefix of the cells by amount, so sums over blocks
// of that order (block_sums.hpp) draw each in O(log n) however many wait.
//
// The race first takes whole bins of keys while their positive amounts
// surely fit, as the race without negative amounts does, then walks the
// crossing bin in key order with its skipped cells ringing as one, and then
// draws the rest in turn.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "solvers/block_sums.hpp"
#include "solvers/race_state.hpp"

namespace allotra::race_detail {

namespace {

double unit(std::uint64_t bits) { return static_cast<double>(bits >> 11) * 0x1p-53; }

}  // namespace

void Race::readmitting_race() {
    WideInt used = 0;
    // Where a later candidate total can be infinite, every new low of `used`
    // is checked, which needs every step in turn: no bins then.
    if (!weights_.recheck_totals && weights_.candidates > limits_.sort_limit) {
        if (signed_round(used)) return;
    }
    draw_in_turn(used);
}

// The first round over every cell, binned. A bin is taken whole when the
// positive amounts of it and of the bins before it, less the negative amounts
// of the bins before it, fit: every one of its cells then fits in any order.
// Says whether the round took every cell of the race.
bool Race::signed_round(WideInt& used) {
    const std::uint64_t count = task_.cells;
    const EveryCell every_cell;
    const BinShape shape = bin_shape(count, limits_);
    const bool keep_keys = count <= limits_.kept_keys;
    count_round<true>(count, every_cell, weights_.bin_base, shape, std::numeric_limits<std::uint64_t>::max(),
                      keep_keys);
    const std::uint64_t* taking = scratch_.counts.data();
    const std::uint64_t* giving = taking + shape.bins + 1;
    constexpr std::uint64_t int64_max = std::numeric_limits<std::int64_t>::max();
    WideInt at_most = 0;  // the bins before the crossing use no more than this
    std::uint32_t crossing = shape.bins;
    for (std::uint32_t bin = 0; bin < shape.bins; ++bin) {
        if (taking[bin] > int64_max || !fits(at_most, static_cast<std::int64_t>(taking[bin]), task_.b_total)) {
            crossing = bin;
            break;
        }
        at_most += static_cast<std::int64_t>(taking[bin]);
        at_most += -static_cast<std::int64_t>(std::min(giving[bin], int64_max));
    }
    take_bins_below(count, every_cell, crossing);
    used = used_by_taken();
    if (crossing == shape.bins) return true;
    crossing_keys(count, every_cell, crossing, keep_keys);
    walk_readmitting(scratch_.keyed, used, bin_end(weights_.bin_base, crossing, shape));
    return false;
}

// The cells of `keyed` in key order, each taken if it fits when its key
// comes, and the skipped ones ringing as one group while some of them fit,
// until the time `end` (or the first infinite key, after which no key has an
// order).
void Race::walk_readmitting(const std::vector<KeyedCell>& keyed, WideInt& used, double end) {
    const double* weight = weights_.weight.data();
    std::vector<std::uint64_t>& skipped = scratch_.pending;
    skipped.clear();
    std::int64_t smallest = std::numeric_limits<std::int64_t>::max();  // no skipped cell with less
    double now = 0.0;
    const auto ring_until = [&](double until) {
        while (!skipped.empty() && fits(used, smallest, task_.b_total)) {
            double total = 0.0;
            smallest = std::numeric_limits<std::int64_t>::max();
            for (std::uint64_t cell : skipped) {
                smallest = std::min(smallest, amount_[cell]);
                if (fits(used, amount_[cell], task_.b_total)) total += weight[cell];
            }
            if (!(total > 0.0)) continue;  // `smallest` was stale: it is exact now
            // Keys count time in units of largest / w: the group's scale.
            const double ring = now + draws_.fresh() * (weights_.largest / total);
            if (!(ring < until)) return;
            now = ring;
            const double u = unit(draws_.next_value()) * total;
            double running = 0.0;
            std::size_t chosen = skipped.size();
            for (std::size_t k = 0; k < skipped.size(); ++k) {
                if (!fits(used, amount_[skipped[k]], task_.b_total)) continue;
                chosen = k;  // the last that fits, where rounding carries u past every running sum
                running += weight[skipped[k]];
                if (running > u) break;
            }
            take(skipped[chosen]);
            used += amount_[skipped[chosen]];
            skipped.erase(skipped.begin() + static_cast<std::ptrdiff_t>(chosen));
        }
    };
    for (std::uint64_t k = 0; k < keyed.size(); ++k) {
        if (k % limits_.slice == 0) check_stop();
        if (keyed[k].key == HUGE_VAL) break;
        ring_until(keyed[k].key);
        now = keyed[k].key;
        const std::int64_t amount = amount_[keyed[k].cell];
        if (fits(used, amount, task_.b_total)) {
            take(keyed[k].cell);
            used += amount;
        } else {
            skipped.push_back(keyed[k].cell);
            smallest = std::min(smallest, amount);
        }
    }
    ring_until(end);
}

// The rest of the race: one free cell among those that fit, in proportion
// to weight, until none fits.
void Race::draw_in_turn(WideInt used) {
    const std::uint64_t* order = task_.by_amount.data();
    const double* weight = weights_.weight_by_amount.data();
    // No free cell beyond the room left once every free negative amount is
    // taken can ever fit: the sums cover the cells before it.
    WideInt lowest_possible = used;
    for (std::uint64_t p = 0; p < task_.cells && amount_[order[p]] < 0; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        if (weight[p] > 0.0 && !is_taken(order[p])) lowest_possible += amount_[order[p]];
    }
    std::size_t hint = 0;
    const std::uint64_t reach = fitting_end(lowest_possible, hint);
    BlockSums sums(scratch_.sums, scratch_.free_blocks, weight, reach,
                   [&](std::uint64_t p) { return !is_taken(order[p]); });
    WideInt lowest = used;
    for (std::uint64_t steps = 0;; ++steps) {
        if (steps % limits_.slice == 0) check_stop();
        const std::uint64_t end = fitting_end(used, hint);
        const double total = sums.before(end);
        if (!(total > 0.0)) return;
        check_total_is_finite(total);
        const std::uint64_t p = sums.find(unit(draws_.next_value()) * total, end);
        sums.remove(p);
        take(order[p]);
        const std::int64_t amount = amount_[order[p]];
        used += amount;
        if (amount < 0 && weights_.recheck_totals && used < lowest) {
            lowest = used;
            check_total_is_finite(candidate_total(used));
        }
    }
}

// The position just past the cells by amount that fit with `used` spent,
// searched from the run where the last search ended.
std::uint64_t Race::fitting_end(WideInt used, std::size_t& hint) const {
    const std::vector<RaceTask::AmountRun>& runs = task_.amount_runs;
    const auto fit = [&](std::size_t k) { return fits(used, runs[k].amount, task_.b_total); };
    // Galloping: the first run that does not fit lies in [low, high).
    std::size_t low = 0, high = runs.size();
    std::size_t k = std::min(hint, runs.size());
    if (k < runs.size() && fit(k)) {
        low = k + 1;
        for (std::size_t step = 1; low + step - 1 < runs.size(); step *= 2) {
            if (!fit(low + step - 1)) {
                high = low + step - 1;
                break;
            }
            low += step;
        }
    } else {
        high = k;
        for (std::size_t step = 1; high >= step; step *= 2) {
            if (fit(high - step)) {
                low = high - step + 1;
                break;
            }
            high -= step;
        }
    }
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (fit(middle)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    hint = low;
    return low == 0 ? 0 : runs[low - 1].end;
}

// The exact total of the taken cells' amounts.
WideInt Race::used_by_taken() const {
    WideInt used = 0;
    const std::vector<std::uint64_t>& taken = scratch_.taken;
    for (std::uint64_t word = 0; word < taken.size(); ++word) {
        if (word % (stop_check_cells / 64) == 0) check_stop();
        for (std::uint64_t bits = taken[word]; bits != 0; bits &= bits - 1) {
            used += amount_[word * 64 + static_cast<std::uint64_t>(std::countr_zero(bits))];
        }
    }
    return used;
}

// The total weight of the candidates with `used` spent, summed in
// row-major order as a step-by-step draw sums it.
double Race::candidate_total(WideInt used) const {
    const double* w = weights_.weight.data();
    double total = 0.0;
    for (std::uint64_t cell = 0; cell < task_.cells; ++cell) {
        if (cell % stop_check_cells == 0) check_stop();
        if (!is_taken(cell) && drawable(w[cell]) && fits(used, amount_[cell], task_.b_total)) total += w[cell];
    }
    return total;
}

}  // namespace allotra::race_detail
