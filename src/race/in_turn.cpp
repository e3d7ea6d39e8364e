// The end of a race with negative amounts, once it has forgotten its keys:
// every free cell is then alike (a fresh clock of its weight), so the rest is
// the sequential draw itself, one free cell that fits at a time in proportion
// to weight. The cells that fit are a prefix of the cells by amount, and sums
// over blocks of that order (block_sums.hpp) draw each in a few cache lines
// however many wait.
#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "race/block_sums.hpp"
#include "race/state.hpp"

namespace allotra::race_detail {

// The rest of the race: one free cell among those that fit, in proportion
// to weight, until none fits.
void Race::draw_in_turn(WideInt used) {
    const CellOrder& order = task_.by_amount;
    const double* weight = weights_.weight_by_amount.data();
    // Cells of no positive amount always fit; they come first by amount.
    std::size_t hint = 0;
    const std::uint64_t always = fitting_end(WideInt(task_.b_total), hint);
    // No free cell beyond the room left once every free negative amount is
    // taken can ever fit: the sums cover the cells before it.
    WideInt lowest_possible = used;
    std::uint64_t always_free = 0;
    for (std::uint64_t p = 0; p < always; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        if (weight[p] > 0.0 && !is_taken(order[p])) {
            lowest_possible += amount_[order[p]];
            ++always_free;
        }
    }
    const std::uint64_t reach = fitting_end(lowest_possible, hint);
    // Keys for the cells that always fit cost 16 bytes each: only where they
    // are few enough, and never where a later total must be checked (that
    // needs every step in turn).
    if (!weights_.recheck_totals && static_cast<double>(always_free) <= limits_.keyed_share * static_cast<double>(task_.cells) && race_always_fitting(always)) {
        return keyed_and_drawn(used, always, reach);
    }
    const auto is_free = [&](std::uint64_t p) { return !is_taken(order[p]); };
    BlockSums sums(scratch_.sums, scratch_.free_blocks, weight, reach, is_free);
    WideInt lowest = used;
    for (std::uint64_t until_check = 0;; --until_check) {
        if (until_check == 0) {
            check_stop();
            until_check = limits_.slice;
        }
        const std::uint64_t end = fitting_end(used, hint);
        const double total = sums.before(end);
        if (!(total > 0.0)) return;
        check_total_is_finite(total);
        const std::uint64_t p = sums.find(unit_of(draws_.next_value()) * total, end);
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

// Keys for the free cells at positions [0, always), which always fit, sorted
// into scratch.keyed with their positions in place of cells; says whether
// every key is finite (they need an order).
bool Race::race_always_fitting(std::uint64_t always) {
    const CellOrder& order = task_.by_amount;
    const double* weight = weights_.weight_by_amount.data();
    scratch_.keyed.clear();
    // A slice of free positions at a time, keyed as it fills: no list of
    // them all beside the keys.
    LargeVector<std::uint64_t>& slice = scratch_.round;
    slice.clear();
    const auto key_slice = [&] {
        check_stop();
        draws_.next_exponentials(slice.size());
        for (std::size_t k = 0; k < slice.size(); ++k) {
            scratch_.keyed.push_back({scratch_.exponentials[k] * scale_[order[slice[k]]], slice[k]});
        }
        slice.clear();
    };
    for (std::uint64_t p = 0; p < always; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        if (weight[p] > 0.0 && !is_taken(order[p])) slice.push_back(p);
        if (slice.size() == limits_.slice) key_slice();
    }
    if (!slice.empty()) key_slice();
    // Positions of the same amount are in cell order, so ties between keys
    // still go by cell.
    std::sort(scratch_.keyed.begin(), scratch_.keyed.end(), key_order);
    return scratch_.keyed.empty() || scratch_.keyed.back().key < HUGE_VAL;
}

// The rest of the race, with the cells that always fit taken in the order
// of their keys (scratch.keyed, by position) and the others ringing as one
// group: those that fit, at the rate of their total weight, the one that
// rings drawn in proportion to weight. The group's next ring is drawn again
// whenever the group changes, and kept while it does not.
//
// Each step waits on the one before (the room it leaves), so it reads no
// cell's own data: amounts come from the runs by position, and the taken
// cells are marked once the race is over, when their loads need not wait on
// each other.
void Race::keyed_and_drawn(WideInt used, std::uint64_t always, std::uint64_t reach) {
    const CellOrder& order = task_.by_amount;
    const LargeVector<KeyedCell>& keyed = scratch_.keyed;
    const auto is_free = [&](std::uint64_t p) { return !is_taken(order[always + p]); };
    BlockSums sums(scratch_.sums, scratch_.free_blocks, weights_.weight_by_amount.data() + always,
                   reach - always, is_free);
    LargeVector<std::uint16_t>& unmarked = scratch_.unmarked;  // the free blocks before the race
    unmarked.assign(sums.blocks(), 0);
    for (std::uint64_t b = 0; b < sums.blocks(); ++b) unmarked[b] = sums.free_mask(b);
    std::size_t hint = 0;
    std::uint64_t end = fitting_end(used, hint);
    std::uint64_t next = 0;
    double now = 0.0;
    double total = 0.0;
    double ring = HUGE_VAL;
    bool drawn = false;
    for (std::uint64_t until_check = 0;; --until_check) {
        if (until_check == 0) {
            check_stop();
            until_check = limits_.slice;
        }
        if (!drawn) {
            total = sums.before(end - always);
            check_total_is_finite(total);
            // Keys count time in units of largest / w: the group's scale.
            ring = total > 0.0 ? now + draws_.fresh() * (weights_.largest / total) : HUGE_VAL;
            drawn = true;
        }
        const bool keys_left = next < keyed.size();
        if (!keys_left && !(total > 0.0)) break;
        std::uint64_t p = 0;
        if (keys_left && (!(total > 0.0) || keyed[next].key <= ring)) {
            now = keyed[next].key;
            p = keyed[next++].cell;
        } else {
            now = ring;
            p = always + sums.find(unit_of(draws_.next_value()) * total, end - always);
            sums.remove(p - always);
            drawn = false;
        }
        used += amount_at(p);
        const std::uint64_t moved = fitting_end(used, hint);
        drawn = drawn && moved == end;
        end = moved;
    }
    for (std::uint64_t k = 0; k < next; ++k) take(order[keyed[k].cell]);
    for (std::uint64_t b = 0; b < sums.blocks(); ++b) {
        for (std::uint32_t drawn_here = unmarked[b] & ~sums.free_mask(b); drawn_here != 0; drawn_here &= drawn_here - 1) {
            take(order[always + b * BlockSums::block + static_cast<std::uint64_t>(std::countr_zero(drawn_here))]);
        }
    }
}

// The amount at position p of the cells by amount, from its run where the
// runs are few enough to stay in cache.
std::int64_t Race::amount_at(std::uint64_t p) const {
    const std::vector<RaceTask::AmountRun>& runs = task_.amount_runs;
    if (runs.size() > 4096) return amount_[task_.by_amount[p]];
    return std::upper_bound(runs.begin(), runs.end(), p,
                            [](std::uint64_t position, const RaceTask::AmountRun& run) { return position < run.end; })
        ->amount;
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
