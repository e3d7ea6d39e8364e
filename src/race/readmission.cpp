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
// draws the rest in turn (in_turn.cpp).
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "race/state.hpp"

namespace allotra::race_detail {

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
    // With no amount beyond `largest` in size, sums of at most count * largest
    // are exact in int64, and so is what the bins before the crossing use.
    constexpr std::uint64_t int64_max = std::numeric_limits<std::int64_t>::max();
    const std::vector<RaceTask::AmountRun>& runs = task_.amount_runs;
    const std::uint64_t largest = std::max(0 - static_cast<std::uint64_t>(runs.front().amount),
                                           static_cast<std::uint64_t>(std::max<std::int64_t>(runs.back().amount, 0)));
    const bool exact = largest <= int64_max / std::max<std::uint64_t>(count, 1);
    count_round<true>(count, every_cell, weights_.bin_base, shape, exact ? largest : std::numeric_limits<std::uint64_t>::max(),
                      keep_keys);
    const std::uint64_t* taking = scratch_.counts.data();
    const std::uint64_t* giving = taking + shape.bins + 1;
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
    used = exact ? at_most : used_by_taken();
    if (crossing == shape.bins) return true;
    crossing_keys(count, every_cell, crossing, keep_keys);
    walk_readmitting(scratch_.keyed, used, bin_end(weights_.bin_base, crossing, shape));
    return false;
}

// The cells of `keyed` in key order, each taken if it fits when its key
// comes, and the skipped ones ringing as one group while some of them fit,
// until the time `end` (or the first infinite key, after which no key has an
// order).
void Race::walk_readmitting(const LargeVector<KeyedCell>& keyed, WideInt& used, double end) {
    const double* weight = weights_.weight.data();
    LargeVector<std::uint64_t>& skipped = scratch_.pending;
    skipped.clear();
    std::int64_t smallest = std::numeric_limits<std::int64_t>::max();  // no skipped cell with less
    double now = 0.0;
    std::uint64_t until_check = 0;
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
            const double u = unit_of(draws_.next_value()) * total;
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
        if (until_check-- == 0) {
            check_stop();
            until_check = limits_.slice;
        }
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

}  // namespace allotra::race_detail
