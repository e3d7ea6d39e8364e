// How a race that skips finds a sparse group's candidates in an interval
// (see skipping.cpp).
//
// A sparse group lays its cells end to end, one unit of length each, and runs
// along them a Poisson process of rate span / least_scale (exponential gaps):
// no member's key process is faster. An arrival in a cell's unit is kept with
// probability least_scale / s, so the kept arrivals in its unit are the cell's
// own key process over the interval (thinning), and the cell is a candidate
// when one is kept. A taken cell's arrivals are passed over. The members' fine
// bits bound least_scale / s closely, so the spare bits of the gap's random
// value settle nearly every arrival without reading the cell's scale. A
// merged group runs at the rate of its first class's least scale, and its
// members' places (distance in classes) bound the ratio instead: far members
// are kept so seldom that the bits pass over nearly all their arrivals.
//
// Dense groups are scanned (scanning.cpp).
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <iterator>
#include <type_traits>

#include "race/state.hpp"

namespace allotra::race_detail {

namespace {

constexpr std::uint64_t exponential_batch = 256;
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

// The same for a merged group's members, by their places: the bounds of the
// least scale of the group's first class over theirs.
const Settled& merged_settled() {
    static const Settled table = [] {
        Settled t{};
        for (unsigned half = 0; half < 2; ++half) {
            for (unsigned place = 0; place < 256; ++place) {
                const RatioBounds ratio = merged_ratio_bounds(half, static_cast<std::uint8_t>(place));
                const double low = ratio.low * (1.0 - 0x1p-40);
                const double high = ratio.high * (1.0 + 0x1p-40);
                t.kept_below[half][place] = static_cast<std::uint16_t>(std::floor(2048.0 * low));
                t.passed_from[half][place] = static_cast<std::uint16_t>(std::min(2048.0, std::ceil(2048.0 * high)));
            }
        }
        return t;
    }();
    return table;
}

}  // namespace

template <bool AnyTaken, typename Index>
std::uint64_t Race::sample_group(Members<Index> members, const RaceGroups::Group& group, double span) {
    const double per_rate = group.least_scale / span;
    const std::uint8_t* fine = members.fine;
    const Index* cells = members.cells;
    const Settled& table = !limits_.settle_by_digits ? unsettled() : group.merged ? merged_settled() : settled();
    const std::uint16_t* kept_below = table.kept_below[group.class_index & 1];
    const std::uint16_t* passed_from = table.passed_from[group.class_index & 1];
    LargeVector<Index>& candidates = candidates_of(scratch_, cells);
    const std::size_t first = candidate_count_;
    std::size_t found = first;
    // Where the members carry amount offsets, their sum over the candidates.
    const std::uint8_t* offset = members.offset;
    std::uint64_t offsets = 0;
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
    // Compiled apart with and without offsets: the inner loop is short and
    // runs for every arrival.
    const auto arrivals = [&](auto with_offsets) {
        for (;;) {
            if (exponentials_left_ == 0) {
                check_stop();
                draws_.next_exponentials(exponential_batch);
                exponentials_left_ = exponential_batch;
            }
            // Room for every candidate of the values left; appended without
            // a branch, since whether an arrival is kept is a coin toss.
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
                    // exponential (memorylessness): the next group starts
                    // with it, so that a group with no arrival costs no value.
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
                if constexpr (decltype(with_offsets)::value) offsets += fresh ? offset[p] : 0;
                last = fresh ? cell : last;
            }
            exponentials_left_ = left;
            if (past) return;
        }
    };
    if (offset != nullptr) {
        arrivals(std::true_type{});
    } else {
        arrivals(std::false_type{});
    }
    candidate_count_ = found;
    offset_sum_ += offsets;
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

template std::uint64_t Race::sample_group<false>(Members<std::uint32_t>, const RaceGroups::Group&, double);
template std::uint64_t Race::sample_group<true>(Members<std::uint32_t>, const RaceGroups::Group&, double);
template std::uint64_t Race::sample_group<false>(Members<std::uint64_t>, const RaceGroups::Group&, double);
template std::uint64_t Race::sample_group<true>(Members<std::uint64_t>, const RaceGroups::Group&, double);

}  // namespace allotra::race_detail
