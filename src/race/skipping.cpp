// A race that samples only the cells whose keys can matter: the intervals.
//
// Time runs in intervals of key. By memorylessness, a cell still in the race
// at the start of an interval of length `span` has a fresh key, which falls in
// the interval with probability 1 - exp(-span / s) (s: its scale). Those
// cells, the interval's candidates, are found group by group without a draw
// for every cell: by the arrivals of a Poisson process in a sparse group
// (sampling.cpp), by a random byte against odds in a dense one (scanning.cpp),
// or all of them where the interval leaves none out. Each group's members
// still free are kept in a list that the scans compact.
//
// The candidates of an interval are all taken if their amounts fit together,
// with no key; otherwise each gets its key within the interval (a truncated
// exponential) and they are walked in key order, each taken if it fits. A cell
// that did not fit never fits again (no amount is negative), so every later
// interval looks only at the groups whose amount still fits.
//
// The intervals are sized so that their candidates use up most, not all, of
// what is left of the budget: most intervals need no key, and the one where
// the budget runs out has few candidates to sort.
#include <algorithm>
#include <cmath>

#include "race/state.hpp"

namespace allotra::race_detail {

namespace {

// A group whose fastest key process has at least this rate over the
// interval is scanned cell by cell rather than sampled by arrivals.
constexpr double scanned_rate = 0.5;
// A sampled group's list is compacted once more than one in this many of its
// members are taken: arrivals on taken members are wasted draws.
constexpr std::uint64_t stale_share = 4;

// Whether every member of the group is surely a candidate in an interval of
// `span`: its key process, at the rate of its scale, leaves it out with a
// chance a double does not tell from 0. A class's scales are within 1.5
// times its least; a merged group's reach its beyond_scale.
bool surely_whole(const RaceGroups::Group& group, double span) {
    return span / (group.merged ? group.beyond_scale : group.least_scale) > every_cell;
}

// a + b, or `cap` if that is less; a is at most cap.
std::uint64_t capped_sum(std::uint64_t a, std::uint64_t b, std::uint64_t cap) { return b > cap - a ? cap : a + b; }

}  // namespace

// Drops the taken members from a group's list, into the worker's own list.
template <typename Index>
void Race::compact(FreeList& list, const RaceGroups::Group& group, const Index* members) {
    Index* to = kept_of(scratch_, members).data() + group.begin;
    std::uint8_t* to_fine = scratch_.kept_fine.data() + group.begin;
    const Index* from = list.compacted ? to : members + group.begin;
    const std::uint8_t* from_fine = list.compacted ? to_fine : weights_.groups.fine.data() + group.begin;
    const bool offsets = !weights_.groups.offset.empty();
    std::uint8_t* to_offset = offsets ? scratch_.kept_offset.data() + group.begin : nullptr;
    const std::uint8_t* from_offset =
        !offsets ? nullptr : list.compacted ? to_offset : weights_.groups.offset.data() + group.begin;
    std::uint64_t left = 0;
    for (std::uint64_t p = 0; p < list.count; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        to[left] = from[p];
        to_fine[left] = from_fine[p];
        if (offsets) to_offset[left] = from_offset[p];
        left += !is_taken(from[p]);
    }
    list = FreeList{left, 0, true};
}

// Drops the interval's candidates from `first` on whose amounts exceed the
// budget left; returns the sum of the others' amounts, saturated past it.
template <typename Index>
std::uint64_t Race::keep_fitting(std::size_t first, std::int64_t remaining, const Index* members) {
    Index* cells = candidates_of(scratch_, members).data();
    const auto room = static_cast<std::uint64_t>(remaining);
    std::uint64_t sum = 0;
    std::size_t kept = first;
    for (std::size_t c = first; c < candidate_count_; ++c) {
        // The amounts are scattered over the grid.
        constexpr std::size_t ahead = 16;
        if (c + ahead < candidate_count_) __builtin_prefetch(amount_ + cells[c + ahead]);
        const auto amount = static_cast<std::uint64_t>(amount_[cells[c]]);
        const bool fits = amount <= room;
        cells[kept] = cells[c];
        kept += fits;
        sum = capped_sum(sum, fits ? amount : 0, room + 1);
    }
    candidate_count_ = kept;
    return sum;
}

template <typename Index>
void Race::skipping_intervals(const Index* members, std::int64_t remaining) {
    const std::vector<RaceGroups::Group>& groups = weights_.groups.groups;
    const std::uint8_t* shared_fine = weights_.groups.fine.data();
    std::size_t alive = groups.size();
    LargeVector<FreeList>& lists = scratch_.free_lists;
    lists.assign(groups.size(), FreeList{});
    for (std::size_t g = 0; g < groups.size(); ++g) lists[g].count = groups[g].end - groups[g].begin;
    UninitializedVector<Index>& kept = kept_of(scratch_, members);
    UninitializedVector<std::uint8_t>& kept_fine = scratch_.kept_fine;
    kept.resize(weights_.groups.fine.size());
    kept_fine.resize(weights_.groups.fine.size());
    // The members' amount offsets, where some band has more than one amount.
    const bool offsets = !weights_.groups.offset.empty();
    scratch_.kept_offset.resize(weights_.groups.offset.size());
    const std::uint8_t* shared_offset = offsets ? weights_.groups.offset.data() : nullptr;
    std::uint8_t* kept_offset = offsets ? scratch_.kept_offset.data() : nullptr;
    const auto at = [](auto* base, std::uint64_t p) { return base == nullptr ? nullptr : base + p; };
    double span = weights_.groups.first_span;
    for (;;) {
        while (alive > 0 && groups[alive - 1].amount > remaining) --alive;
        if (alive == 0) return;
        check_stop();
        candidate_count_ = 0;
        ++scratch_.intervals;
        bool covered = true;
        for (std::size_t g = 0; g < alive; ++g) covered = covered && surely_whole(groups[g], span);
        LargeVector<std::uint64_t>& found = scratch_.counts;
        LargeVector<std::uint64_t>& found_amount = scratch_.amounts;
        found.assign(alive, 0);
        found_amount.assign(alive, 0);
        // The sum of the candidates' amounts that fit, saturated at the
        // budget left + 1: whether they fit together is all that is asked
        // of it.
        const std::uint64_t room = static_cast<std::uint64_t>(remaining);
        std::uint64_t sum = 0;
        for (std::size_t g = 0; g < alive; ++g) {
            const RaceGroups::Group& group = groups[g];
            FreeList& list = lists[g];
            const std::size_t first = candidate_count_;
            offset_sum_ = 0;
            // A group whose every member is taken has nothing to race.
            if (list.count == list.stale) continue;
            const double rate = span / group.least_scale;
            const bool whole = covered || surely_whole(group, span);
            const bool scanned = !whole && rate >= scanned_rate;
            // A scan compacts the list itself, and a whole group empties it.
            if (!whole && !scanned && list.stale * stale_share > list.count) compact(list, group, members);
            const Members<Index> free =
                list.compacted ? Members<Index>{kept.data() + group.begin, kept_fine.data() + group.begin,
                                                at(kept_offset, group.begin), list.count}
                               : Members<Index>{members + group.begin, shared_fine + group.begin,
                                                at(shared_offset, group.begin), list.count};
            const bool any_taken = list.stale > 0;
            // Every candidate found here is taken in this interval, or else
            // does not fit now or did not fit when its key came: then it
            // never fits again. So the list can be brought up to date as the
            // candidates are found.
            if (whole) {
                // One whose span leaves none of its members out needs no draw.
                found[g] = any_taken ? whole_group<true>(free) : whole_group<false>(free);
                list = FreeList{0, 0, true};
            } else if (scanned) {
                const PlaceOdds& odds = odds_of(group, span);
                const Kept<Index> to{kept.data() + group.begin, kept_fine.data() + group.begin,
                                     at(kept_offset, group.begin)};
                std::uint64_t left = 0;
                found[g] = any_taken ? scan_group<true>(free, to, left, odds, span)
                                     : scan_group<false>(free, to, left, odds, span);
                list = FreeList{left, 0, true};
            } else if (!gap_passes(static_cast<double>(list.count) * rate)) {
                found[g] = any_taken ? sample_group<true>(free, group, span) : sample_group<false>(free, group, span);
                list.stale += found[g];
            }
            if (group.top_amount > remaining) {
                // A band that does not fit whole: its candidates that do not
                // fit alone are dropped, the same law as never keying them.
                found_amount[g] = keep_fitting(first, remaining, members);
                found[g] = candidate_count_ - first;
            } else {
                // Each amount is the group's least and an offset. The least
                // fits the budget left, so the quotient tells whether the
                // product passes it without overflow.
                const auto amount = static_cast<std::uint64_t>(group.amount);
                found_amount[g] = found[g] <= room / amount ? found[g] * amount : room + 1;
                found_amount[g] = capped_sum(found_amount[g], std::min(offset_sum_, room + 1), room + 1);
            }
            sum = capped_sum(sum, found_amount[g], room + 1);
        }
        const Index* found_cells = candidates_of(scratch_, members).data();
        if (sum <= room) {
            // In locals: a store to the taken bits may alias the count.
            std::uint64_t* taken = scratch_.taken.data();
            const std::size_t count = candidate_count_;
            for (std::size_t c = 0; c < count; ++c) {
                taken[found_cells[c] / 64] |= std::uint64_t{1} << (found_cells[c] % 64);
            }
            remaining -= static_cast<std::int64_t>(sum);
        } else {
            LargeVector<KeyedCell>& keyed = scratch_.keyed;
            keyed.resize(candidate_count_);
            for (std::size_t c = 0; c < candidate_count_; ++c) {
                // The weights are scattered over the grid.
                constexpr std::size_t ahead = 16;
                if (c + ahead < candidate_count_) __builtin_prefetch(weights_.weight.data() + found_cells[c + ahead]);
                const double s = scale_at(found_cells[c]);
                const double below = -std::expm1(-span / s);
                keyed[c] = {-s * std::log1p(-unit_of(draws_.next_value()) * below), found_cells[c]};
            }
            order_keys(span);
            walk(keyed, remaining);
        }
        // Every cell of every group that fitted was a candidate: each was
        // taken or no longer fits.
        if (covered) return;

        // The next interval from the candidates' amounts that still fit:
        // they sample the cells left in the race at rate 1 / span.
        double fitting_amount = 0.0;
        double fitting_cells = 0.0;
        for (std::size_t g = 0; g < alive && groups[g].amount <= remaining; ++g) {
            fitting_amount += static_cast<double>(found_amount[g]);
            fitting_cells += static_cast<double>(found[g]);
        }
        if (fitting_amount == 0.0) {
            span *= 16.0;
        } else {
            const double left = static_cast<double>(remaining);
            const double cells = fitting_cells * left / fitting_amount;
            const double share = std::clamp(1.0 - 6.0 / std::sqrt(cells), 0.5, 0.95);
            span = std::min(span * left / fitting_amount * share, span * 64.0);
        }
    }
}

// The interval's keys in scratch.keyed, put in key order: a few sorted, many
// counted into log-scale bins below `span` (bins keep the keys' order) and
// each bin sorted.
void Race::order_keys(double span) {
    LargeVector<KeyedCell>& keyed = scratch_.keyed;
    if (keyed.size() <= limits_.sorted_keys) {
        std::sort(keyed.begin(), keyed.end(), key_order);
        return;
    }
    const BinShape shape{limits_.bins, limits_.octave_bits};
    const std::int64_t base = key_level(span, shape) - static_cast<std::int64_t>(shape.bins) + 1;
    const auto bin_of = [&](double key) {
        return static_cast<std::size_t>(
            std::clamp<std::int64_t>(key_level(key, shape) - base, 0, static_cast<std::int64_t>(shape.bins) - 1));
    };
    LargeVector<std::uint64_t>& ends = scratch_.key_bins;
    ends.assign(shape.bins + 1, 0);
    for (const KeyedCell& cell : keyed) ++ends[bin_of(cell.key) + 1];
    for (std::size_t bin = 1; bin <= shape.bins; ++bin) ends[bin] += ends[bin - 1];
    LargeVector<KeyedCell>& ordered = scratch_.ordered;
    ordered.resize(keyed.size());
    for (const KeyedCell& cell : keyed) ordered[ends[bin_of(cell.key)]++] = cell;
    // Each bin's end is now where the next one starts.
    for (std::size_t bin = 0, start = 0; bin < shape.bins; start = ends[bin++]) {
        if (ends[bin] - start > 1) std::sort(ordered.begin() + start, ordered.begin() + ends[bin], key_order);
    }
    keyed.swap(ordered);
}

void Race::skipping_race() {
    const RaceGroups& groups = weights_.groups;
    // Cells of amount 0 always fit: each is taken whatever its key.
    const CellOrder& order = task_.by_amount;
    for (std::uint64_t p = 0; p < groups.zero_end; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        if (drawable(weights_.weight[order[p]])) take(order[p]);
    }
    if (groups.wide.empty()) {
        skipping_intervals(groups.narrow.data(), task_.b_total);
    } else {
        skipping_intervals(groups.wide.data(), task_.b_total);
    }
}

}  // namespace allotra::race_detail
