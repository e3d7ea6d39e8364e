// How a race that skips finds a dense group's candidates in an interval (see
// skipping.cpp).
//
// A dense group is scanned: each free member is a candidate when a random
// byte falls below odds made for its place in the class, once an interval per
// class, and the scan compacts the members it leaves free into the worker's
// list of the group. Where the interval leaves no member out, every free one
// is a candidate.
#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>

#include "kernel/simd/odds_split.hpp"
#include "race/state.hpp"

namespace allotra::race_detail {

namespace {

// The places of a scanned class whose odds are made in each interval: with a
// random byte a member, about one member in 150 falls between its place's
// bounds and reads its own scale.
constexpr unsigned odds_bits = 6;

// Odds that settle nothing: every scanned cell reads its scale.
const PlaceOdds& unsettled_odds() {
    static const PlaceOdds odds = [] {
        PlaceOdds table{};
        std::fill(std::begin(table.last), std::end(table.last), std::uint8_t{255});
        return table;
    }();
    return odds;
}

}  // namespace

// For the group's class, by the top odds_bits of a member's fine bits, the
// byte values below which the member is surely a candidate in an interval
// of `span`, and (after them) those from which it surely is not: its chance
// 1 - exp(-span / s) lies between those of the ends of its place in the
// class. Made once an interval for each class scanned.
const PlaceOdds& Race::odds_of(const RaceGroups::Group& group, double span) {
    if (!limits_.settle_by_digits) return unsettled_odds();
    static_assert(std::size(PlaceOdds{}.below) == 1 << odds_bits);
    constexpr int places = 1 << odds_bits;
    // A merged group's odds are by distance from its first class, apart
    // from those of the class alone.
    const std::size_t slot = group.class_index + (group.merged ? 256 : 0);
    if (scratch_.odds_interval.size() <= slot) {
        scratch_.odds_interval.resize(slot + 1, ~std::uint64_t{0});
        scratch_.odds.resize(slot + 1);
    }
    PlaceOdds& odds = scratch_.odds[slot];
    if (scratch_.odds_interval[slot] == scratch_.intervals) return odds;
    scratch_.odds_interval[slot] = scratch_.intervals;
    const double m = (group.class_index & 1) != 0 ? 1.5 : 1.0;
    const double rate = span / group.least_scale;
    // The chance at the heavy end of each place, which is the light end of
    // the place before.
    double heavy = -std::expm1(-rate);
    for (int place = 0; place < places; ++place) {
        // A merged group's place is a class (the distance alone), the last
        // one every class from it on.
        const auto merged_ratio = [&](unsigned quarter) {
            return merged_ratio_bounds(group.class_index & 1, static_cast<std::uint8_t>(place << 2 | quarter));
        };
        const double ratio = group.merged ? merged_ratio(3).low : m / (m + (place + 1) * (0.5 / places));
        const double light = -std::expm1(-rate * ratio);
        if (group.merged) heavy = -std::expm1(-rate * merged_ratio(0).high);
        // The margins keep each bound on its side through rounding; a chance
        // below 1 gives a bound below 256.
        odds.below[place] = static_cast<std::uint8_t>(std::floor(256.0 * light * (1.0 - 0x1p-40)));
        const double surely_not_from = std::min(256.0, std::ceil(256.0 * heavy * (1.0 + 0x1p-40)));
        odds.last[place] = static_cast<std::uint8_t>(std::max(surely_not_from, 1.0) - 1.0);
        heavy = light;
    }
    return odds;
}

// A dense group: every member in turn is a candidate with its chance, told by
// a random byte against its odds (split_by_odds, 64 members a word), or in the
// rare case between them by its own scale, in member order. The bytes are
// drawn for a stretch of the list at once. The free members left are written
// to `kept`, which may be where they are read from: a member is written no
// later than it is read.
template <bool AnyTaken, typename Index>
std::uint64_t Race::scan_group(Members<Index> members, Kept<Index> kept, std::uint64_t& kept_count,
                               const PlaceOdds& odds, double span) {
    static_assert(stop_check_cells % 64 == 0);
    LargeVector<Index>& candidates = candidates_of(scratch_, members.cells);
    const std::size_t first = candidate_count_;
    room_for(candidates, first + members.count);
    Index* to = candidates.data();
    std::size_t found = first;
    std::uint64_t left = 0;
    std::uint64_t offsets = 0;
    LargeVector<std::uint64_t>& split = scratch_.split;
    split.resize(2 * stop_check_cells / 64);
    std::uint64_t* drawn = split.data();
    std::uint64_t* undecided = split.data() + stop_check_cells / 64;
    for (std::uint64_t begin = 0; begin < members.count; begin += stop_check_cells) {
        check_stop();
        const std::uint64_t length = std::min(members.count - begin, stop_check_cells);
        draws_.next_values((length + 7) / 8);
        const std::uint64_t* bytes = scratch_.bits.data();
        split_by_odds(bytes, members.fine + begin, length, odds, drawn, undecided);
        // The few members between their bounds read their weights, scattered
        // over the grid: fetched together here, rather than one miss after
        // another in the loop below.
        for (std::uint64_t word = 0; word * 64 < length; ++word) {
            for (std::uint64_t open = undecided[word]; open != 0; open &= open - 1) {
                const std::uint64_t p = begin + word * 64 + static_cast<std::uint64_t>(std::countr_zero(open));
                if (p < members.count) __builtin_prefetch(weights_.weight.data() + members.cells[p]);
            }
        }
        for (std::uint64_t word = 0; word * 64 < length; ++word) {
            const std::uint64_t base = begin + word * 64;
            const std::uint64_t size = std::min<std::uint64_t>(64, members.count - base);
            std::uint64_t free = size == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
            if constexpr (AnyTaken) {
                for (std::uint64_t j = 0; j < size; ++j) free &= ~(std::uint64_t{is_taken(members.cells[base + j])} << j);
            }
            std::uint64_t chosen = drawn[word] & free;
            for (std::uint64_t open = undecided[word] & free; open != 0; open &= open - 1) {
                const auto j = static_cast<std::uint64_t>(std::countr_zero(open));
                const std::uint64_t k = word * 64 + j;
                const auto byte = static_cast<std::uint32_t>(bytes[k / 8] >> (k % 8 * 8)) & 0xFF;
                const double u = (static_cast<double>(byte) + unit_of(draws_.next_value())) * 0x1p-8;
                if (u < -std::expm1(-span / scale_at(members.cells[base + j]))) chosen |= std::uint64_t{1} << j;
            }
            for (std::uint64_t bits = chosen; bits != 0; bits &= bits - 1) {
                const std::uint64_t p = base + static_cast<std::uint64_t>(std::countr_zero(bits));
                to[found++] = members.cells[p];
                if (members.offset != nullptr) offsets += members.offset[p];
            }
            for (std::uint64_t bits = free & ~chosen; bits != 0; bits &= bits - 1) {
                const std::uint64_t p = base + static_cast<std::uint64_t>(std::countr_zero(bits));
                kept.cells[left] = members.cells[p];
                kept.fine[left] = members.fine[p];
                if (members.offset != nullptr) kept.offset[left] = members.offset[p];
                ++left;
            }
        }
    }
    kept_count = left;
    candidate_count_ = found;
    offset_sum_ += offsets;
    return found - first;
}

// Every free member of the group, when its span leaves none out.
template <bool AnyTaken, typename Index>
std::uint64_t Race::whole_group(Members<Index> members) {
    LargeVector<Index>& candidates = candidates_of(scratch_, members.cells);
    const std::size_t first = candidate_count_;
    room_for(candidates, first + members.count);
    std::size_t found = first;
    std::uint64_t offsets = 0;
    for (std::uint64_t p = 0; p < members.count; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        candidates[found] = members.cells[p];
        const bool free = !AnyTaken || !is_taken(members.cells[p]);
        if (members.offset != nullptr) offsets += free ? members.offset[p] : 0;
        found += free;
    }
    candidate_count_ = found;
    offset_sum_ += offsets;
    return found - first;
}

template std::uint64_t Race::whole_group<false>(Members<std::uint32_t>);
template std::uint64_t Race::scan_group<false>(Members<std::uint32_t>, Kept<std::uint32_t>, std::uint64_t&, const PlaceOdds&,
                                              double);
template std::uint64_t Race::whole_group<true>(Members<std::uint32_t>);
template std::uint64_t Race::scan_group<true>(Members<std::uint32_t>, Kept<std::uint32_t>, std::uint64_t&, const PlaceOdds&,
                                              double);
template std::uint64_t Race::whole_group<false>(Members<std::uint64_t>);
template std::uint64_t Race::scan_group<false>(Members<std::uint64_t>, Kept<std::uint64_t>, std::uint64_t&, const PlaceOdds&,
                                              double);
template std::uint64_t Race::whole_group<true>(Members<std::uint64_t>);
template std::uint64_t Race::scan_group<true>(Members<std::uint64_t>, Kept<std::uint64_t>, std::uint64_t&, const PlaceOdds&,
                                              double);

}  // namespace allotra::race_detail
