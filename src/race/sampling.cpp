// How a race that skips finds one group's candidates in an interval (see
// skipping.cpp).
//
// A sparse group lays its cells end to end, one unit of length each, and runs
// along them a Poisson process of rate span / least_scale (exponential gaps):
// no member's key process is faster. An arrival in a cell's unit is kept with
// probability least_scale / s, so the kept arrivals in its unit are the cell's
// own key process over the interval (thinning), and the cell is a candidate
// when one is kept. A taken cell's arrivals are passed over. The members' fine
// bits bound least_scale / s closely, so the spare bits of the gap's random
// value settle nearly every arrival without reading the cell's scale.
//
// A dense group is scanned: each free member is a candidate when a random
// byte falls below odds made for its place in the class, once an interval per
// class, and the scan compacts the members it leaves free into the worker's
// list of the group. Where the interval leaves no member out, every free one
// is a candidate.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <iterator>

#include "kernel/odds_split.hpp"
#include "race/state.hpp"

namespace allotra::race_detail {

namespace {

constexpr std::uint64_t exponential_batch = 256;
// The places of a scanned class whose odds are made in each interval: with a
// random byte a member, about one member in 150 falls between its place's
// bounds and reads its own scale.
constexpr unsigned odds_bits = 6;

// For each class half and fine bits: the spare digits (11 bits, a uniform's
// first) below which an arrival is surely kept, and from which it is surely
// not. A scale in the cell's place of its class has least_scale / s between
// m / (m + (fine + 1) / 512) and m / (m + fine / 512), m = 1 or 1.5.
struct Settled {
    std::uint16_t kept_below[2][256];
    std::uint16_t passed_from[2][256];
};

// Settles nothing: every arrival reads its cell's scale.
const Settled& unsettled() {
    static const Settled table = [] {
        Settled t{};
        for (auto& half : t.passed_from) std::fill(std::begin(half), std::end(half), std::uint16_t{2048});
        return t;
    }();
    return table;
}

const Settled& settled() {
    static const Settled table = [] {
        static_assert(RaceGroups::class_bits == 1 && RaceGroups::fine_bits == 8);
        Settled t{};
        for (int half = 0; half < 2; ++half) {
            const double m = half == 0 ? 1.0 : 1.5;
            for (int fine = 0; fine < 256; ++fine) {
                // The margins keep each bound on its side through rounding.
                const double low = m / (m + (fine + 1) / 512.0) * (1.0 - 0x1p-40);
                const double high = m / (m + fine / 512.0) * (1.0 + 0x1p-40);
                t.kept_below[half][fine] = static_cast<std::uint16_t>(std::floor(2048.0 * low));
                t.passed_from[half][fine] = static_cast<std::uint16_t>(std::min(2048.0, std::ceil(2048.0 * high)));
            }
        }
        return t;
    }();
    return table;
}

// Odds that settle nothing: every scanned cell reads its scale.
const PlaceOdds& unsettled_odds() {
    static const PlaceOdds odds = [] {
        PlaceOdds table{};
        std::fill(std::begin(table.last), std::end(table.last), std::uint8_t{255});
        return table;
    }();
    return odds;
}

// Makes `cells` hold at least `size` entries, growing it by half at least.
template <typename Index>
void room_for(std::vector<Index>& cells, std::size_t size) {
    if (cells.size() < size) cells.resize(std::max(size, cells.size() + cells.size() / 2));
}


}  // namespace
template <bool AnyTaken, typename Index>
std::uint64_t Race::sample_group(Members<Index> members, const RaceGroups::Group& group, double span) {
    const double per_rate = group.least_scale / span;
    const std::uint8_t* fine = members.fine;
    const Index* cells = members.cells;
    const Settled& table = limits_.settle_by_digits ? settled() : unsettled();
    const std::uint16_t* kept_below = table.kept_below[group.class_index & 1];
    const std::uint16_t* passed_from = table.passed_from[group.class_index & 1];
    std::vector<Index>& candidates = candidates_of(scratch_, cells);
    const std::size_t first = candidate_count_;
    std::size_t found = first;
    const std::uint64_t* taken = scratch_.taken.data();
    const double units = static_cast<double>(members.count);
    // Where an arrival falls, and whether it is kept, from its gap's value.
    const auto arrival = [&](std::uint64_t p, std::uint64_t value, std::uint64_t& cell, bool& free) {
        cell = cells[p];
        free = !AnyTaken || ((taken[cell / 64] >> (cell % 64)) & 1u) == 0;
        const std::uint64_t digits = value & 0x7FF;
        bool kept = digits < kept_below[fine[p]];
        // One branch, rarely taken: the parts alone are coin tosses.
        const bool between = free & !kept & (digits < passed_from[fine[p]]);
        if (between) [[unlikely]] {
            // Between the bounds: the cell's own ratio decides.
            const double u = (static_cast<double>(digits) + unit_of(draws_.next_value())) * 0x1p-11;
            kept = u * scale_at(cell) < group.least_scale;
        }
        return kept;
    };
    // The arrivals fall at the running sum of the gaps, which no decision
    // delays: a cell whose unit holds two kept arrivals is one candidate.
    std::uint64_t last = ~std::uint64_t{0};
    // The process's place, in units from the group's start.
    double at = 0.0;
    for (;;) {
        if (exponentials_left_ == 0) {
            check_stop();
            draws_.next_exponentials(exponential_batch);
            exponentials_left_ = exponential_batch;
        }
        // Room for every candidate of the values left; appended without a
        // branch, since whether an arrival is kept is a coin toss.
        std::uint64_t left = exponentials_left_;
        room_for(candidates, found + left);
        Index* to = candidates.data();
        const std::uint64_t* values = scratch_.values.data() + exponential_batch;
        double* exponentials = scratch_.exponentials.data() + exponential_batch;
        bool past = false;
        for (; left > 0; --left) {
            const std::ptrdiff_t k = -static_cast<std::ptrdiff_t>(left);
            at += exponentials[k] * per_rate;
            if (!(at < units)) {
                // What the gap has left past the group's end is again an
                // exponential (memorylessness): the next group starts with
                // it, so that a group with no arrival costs no value.
                exponentials[k] = (at - units) / per_rate;
                past = true;
                break;
            }
            const std::uint64_t p = static_cast<std::uint64_t>(at);
            std::uint64_t cell = 0;
            bool free = false;
            const bool kept = arrival(p, values[k], cell, free);
            const bool fresh = free & kept & (cell != last);
            to[found] = static_cast<Index>(cell);
            found += fresh;
            last = fresh ? cell : last;
        }
        exponentials_left_ = left;
        if (past) break;
    }
    candidate_count_ = found;
    return found - first;
}

// Whether the next gap of the arrival process passes a whole group, whose
// units add up to `length` in the gap's own measure; if so, it is shortened
// by that much and the group has no arrival (memorylessness).
bool Race::gap_passes(double length) {
    if (exponentials_left_ == 0) {
        check_stop();
        draws_.next_exponentials(exponential_batch);
        exponentials_left_ = exponential_batch;
    }
    double& gap = scratch_.exponentials[exponential_batch - exponentials_left_];
    if (gap < length) return false;
    gap -= length;
    return true;
}

// For the group's class, by the top odds_bits of a member's fine bits, the
// byte values below which the member is surely a candidate in an interval
// of `span`, and (after them) those from which it surely is not: its chance
// 1 - exp(-span / s) lies between those of the ends of its place in the
// class. Made once an interval for each class scanned.
const PlaceOdds& Race::odds_of(const RaceGroups::Group& group, double span) {
    if (!limits_.settle_by_digits) return unsettled_odds();
    static_assert(std::size(PlaceOdds{}.below) == 1 << odds_bits);
    constexpr int places = 1 << odds_bits;
    const std::size_t slot = group.class_index;
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
        const double light = -std::expm1(-rate * (m / (m + (place + 1) * (0.5 / places))));
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
    std::vector<Index>& candidates = candidates_of(scratch_, members.cells);
    const std::size_t first = candidate_count_;
    room_for(candidates, first + members.count);
    Index* to = candidates.data();
    std::size_t found = first;
    std::uint64_t left = 0;
    std::vector<std::uint64_t>& split = scratch_.split;
    split.resize(2 * stop_check_cells / 64);
    std::uint64_t* drawn = split.data();
    std::uint64_t* undecided = split.data() + stop_check_cells / 64;
    for (std::uint64_t begin = 0; begin < members.count; begin += stop_check_cells) {
        check_stop();
        const std::uint64_t length = std::min(members.count - begin, stop_check_cells);
        draws_.next_values((length + 7) / 8);
        const std::uint64_t* bytes = scratch_.bits.data();
        split_by_odds(bytes, members.fine + begin, length, odds, drawn, undecided);
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
                to[found++] = members.cells[base + static_cast<std::uint64_t>(std::countr_zero(bits))];
            }
            for (std::uint64_t bits = free & ~chosen; bits != 0; bits &= bits - 1) {
                const std::uint64_t p = base + static_cast<std::uint64_t>(std::countr_zero(bits));
                kept.cells[left] = members.cells[p];
                kept.fine[left] = members.fine[p];
                ++left;
            }
        }
    }
    kept_count = left;
    candidate_count_ = found;
    return found - first;
}

// Every free member of the group, when its span leaves none out.
template <bool AnyTaken, typename Index>
std::uint64_t Race::whole_group(Members<Index> members) {
    std::vector<Index>& candidates = candidates_of(scratch_, members.cells);
    const std::size_t first = candidate_count_;
    room_for(candidates, first + members.count);
    std::size_t found = first;
    for (std::uint64_t p = 0; p < members.count; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        candidates[found] = members.cells[p];
        found += !AnyTaken || !is_taken(members.cells[p]);
    }
    candidate_count_ = found;
    return found - first;
}

template std::uint64_t Race::sample_group<false>(Members<std::uint32_t>, const RaceGroups::Group&, double);
template std::uint64_t Race::whole_group<false>(Members<std::uint32_t>);
template std::uint64_t Race::scan_group<false>(Members<std::uint32_t>, Kept<std::uint32_t>, std::uint64_t&, const PlaceOdds&,
                                              double);
template std::uint64_t Race::sample_group<true>(Members<std::uint32_t>, const RaceGroups::Group&, double);
template std::uint64_t Race::whole_group<true>(Members<std::uint32_t>);
template std::uint64_t Race::scan_group<true>(Members<std::uint32_t>, Kept<std::uint32_t>, std::uint64_t&, const PlaceOdds&,
                                              double);
template std::uint64_t Race::sample_group<false>(Members<std::uint64_t>, const RaceGroups::Group&, double);
template std::uint64_t Race::whole_group<false>(Members<std::uint64_t>);
template std::uint64_t Race::scan_group<false>(Members<std::uint64_t>, Kept<std::uint64_t>, std::uint64_t&, const PlaceOdds&,
                                              double);
template std::uint64_t Race::sample_group<true>(Members<std::uint64_t>, const RaceGroups::Group&, double);
template std::uint64_t Race::whole_group<true>(Members<std::uint64_t>);
template std::uint64_t Race::scan_group<true>(Members<std::uint64_t>, Kept<std::uint64_t>, std::uint64_t&, const PlaceOdds&,
                                              double);

}  // namespace allotra::race_detail
