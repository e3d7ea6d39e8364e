// Binned rounds: keys counted into log-scale bins, the bins whose amounts
// fit together taken whole, and the bin where the budget runs out sorted.
#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>

#include "race/state.hpp"

namespace allotra::race_detail {

namespace {

std::uint64_t saturating_add(std::uint64_t sum, std::uint64_t addend) noexcept {
    return sum > std::numeric_limits<std::uint64_t>::max() - addend ? std::numeric_limits<std::uint64_t>::max()
                                                                     : sum + addend;
}

}  // namespace

// Bins and counts for positions [begin, begin + length), whose
// exponentials are in scratch.exponentials.
template <bool Saturate, bool KeepKeys, bool Signed, typename CellAt>
void Race::count_bins(std::uint64_t begin, std::uint64_t length, CellAt cell_at, std::int64_t base,
                      const BinShape& shape, std::uint64_t cap) {
    const double* e = scratch_.exponentials.data();
    const double* scale = scale_;
    const std::int64_t* amount = amount_;
    std::uint16_t* bins = scratch_.bins.data() + begin;
    double* keys = KeepKeys ? scratch_.keys.data() + begin : nullptr;
    std::uint64_t* counts = scratch_.counts.data();
    std::uint64_t* given_back = counts + shape.bins + 1;  // Signed only
    const int shift = 52 - static_cast<int>(shape.octave_bits);
    const std::int64_t top = static_cast<std::int64_t>(shape.bins) - 1;
    const std::uint16_t outside = static_cast<std::uint16_t>(shape.bins);
    for (std::uint64_t k = 0; k < length; ++k) {
        const std::uint64_t cell = cell_at(begin + k);
        const double s = scale[cell];
        const double key = e[k] * s;
        if constexpr (KeepKeys) keys[k] = key;
        const std::int64_t level = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(key) >> shift);
        const std::int64_t bin = std::min(std::max<std::int64_t>(level - base, 0), top);
        const bool in_race = s >= 0.0;
        const std::uint16_t slot = in_race ? static_cast<std::uint16_t>(bin) : outside;
        bins[k] = slot;
        if constexpr (Signed) {
            // Saturated sums only ever keep a run of bins from being taken.
            const std::int64_t a = in_race ? amount[cell] : 0;
            const std::uint64_t up = a > 0 ? static_cast<std::uint64_t>(a) : 0;
            const std::uint64_t down = a < 0 ? 0 - static_cast<std::uint64_t>(a) : 0;
            if constexpr (Saturate) {
                counts[slot] = saturating_add(counts[slot], up);
                given_back[slot] = saturating_add(given_back[slot], down);
            } else {
                counts[slot] += up;
                given_back[slot] += down;
            }
        } else {
            // Amounts in the race are 0 or more.
            const std::uint64_t a = in_race ? std::min(static_cast<std::uint64_t>(amount[cell]), cap) : 0;
            if constexpr (Saturate) {
                counts[slot] = counts[slot] > cap - a ? cap : counts[slot] + a;
            } else {
                counts[slot] += a;
            }
        }
    }
}

// Bins (and kept keys) for every position of a round, its counts in
// scratch.counts: shape.bins + 1 of them, twice for Signed rounds. Sums
// saturate unless `count` amounts of at most `cap` cannot pass 2^64; unsigned
// rounds also clamp each amount to `cap`.
template <bool Signed, typename CellAt>
void Race::count_round(std::uint64_t count, CellAt cell_at, std::int64_t base, const BinShape& shape,
                       std::uint64_t cap, bool keep_keys) {
    if (scratch_.bins.size() < count) scratch_.bins.resize(count);
    if (keep_keys && scratch_.keys.size() < count) scratch_.keys.resize(count);
    scratch_.counts.assign((Signed ? 2 : 1) * (shape.bins + 1), 0);
    const bool saturate = cap > std::numeric_limits<std::uint64_t>::max() / std::max<std::uint64_t>(count, 1);
    if (!keep_keys) draws_.start_recording();
    for (std::uint64_t begin = 0; begin < count; begin += limits_.slice) {
        check_stop();
        const std::uint64_t length = std::min(limits_.slice, count - begin);
        draws_.next_exponentials(length);
        if (saturate) {
            keep_keys ? count_bins<true, true, Signed>(begin, length, cell_at, base, shape, cap)
                      : count_bins<true, false, Signed>(begin, length, cell_at, base, shape, cap);
        } else {
            keep_keys ? count_bins<false, true, Signed>(begin, length, cell_at, base, shape, cap)
                      : count_bins<false, false, Signed>(begin, length, cell_at, base, shape, cap);
        }
    }
    if (!keep_keys) draws_.stop_recording();
}

template <typename CellAt>
void Race::take_bins_below(std::uint64_t count, CellAt cell_at, std::uint32_t crossing) {
    const std::uint16_t* bins = scratch_.bins.data();
    if constexpr (std::is_same_v<CellAt, EveryCell>) {
        // Whole words of the taken cells at once: setting bits one by one
        // would wait on the same word 64 times.
        std::uint64_t* taken = scratch_.taken.data();
        for (std::uint64_t word = 0; word * 64 < count; ++word) {
            if (word % (stop_check_cells / 64) == 0) check_stop();
            const std::uint64_t first = word * 64;
            const std::uint64_t length = std::min<std::uint64_t>(64, count - first);
            std::uint64_t bits = 0;
            for (std::uint64_t k = 0; k < length; ++k) {
                bits |= static_cast<std::uint64_t>(bins[first + k] < crossing) << k;
            }
            taken[word] |= bits;
        }
    } else {
        for (std::uint64_t p = 0; p < count; ++p) {
            if (p % stop_check_cells == 0) check_stop();
            if (bins[p] < crossing) take(cell_at(p));
        }
    }
}

// The crossing bin in exact key order, from the kept keys or from its cells'
// values read again.
template <typename CellAt>
void Race::crossing_keys(std::uint64_t count, CellAt cell_at, std::uint32_t crossing, bool keep_keys) {
    const std::uint16_t* bins = scratch_.bins.data();
    scratch_.crossing.clear();
    for (std::uint64_t p = 0; p < count; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        if (bins[p] == crossing) scratch_.crossing.push_back(p);
    }
    scratch_.keyed.clear();
    for (std::uint64_t k = 0; k < scratch_.crossing.size(); ++k) {
        if (k % limits_.slice == 0) check_stop();
        const std::uint64_t p = scratch_.crossing[k];
        const std::uint64_t cell = cell_at(p);
        scratch_.keyed.push_back({keep_keys ? scratch_.keys[p] : draws_.again(p) * scale_[cell], cell});
    }
    std::sort(scratch_.keyed.begin(), scratch_.keyed.end(), key_order);
}

template <typename CellAt>
bool Race::binned_round(std::uint64_t count, CellAt cell_at, std::int64_t base, std::int64_t& remaining) {
    const BinShape shape = bin_shape(count, limits_);
    const bool keep_keys = count <= limits_.kept_keys;
    // An amount above the budget counts as budget + 1: whether a run of
    // bins still fits is all that is asked of the counts. Their sums fit
    // 64 bits unless the budget is huge, when they stop at budget + 1.
    const std::uint64_t cap = static_cast<std::uint64_t>(remaining) + 1;
    count_round<false>(count, cell_at, base, shape, cap, keep_keys);

    // The first bin whose amounts, with those of the bins before it, no
    // longer fit; the bins before it are taken whole.
    const std::uint64_t* counts = scratch_.counts.data();
    const std::uint64_t budget = static_cast<std::uint64_t>(remaining);
    std::uint64_t before = 0;
    std::uint32_t crossing = shape.bins;
    for (std::uint32_t bin = 0; bin < shape.bins; ++bin) {
        if (before + counts[bin] > budget) {
            crossing = bin;
            break;
        }
        before += counts[bin];
    }
    remaining -= static_cast<std::int64_t>(before);
    take_bins_below(count, cell_at, crossing);
    if (crossing == shape.bins) return true;
    crossing_keys(count, cell_at, crossing, keep_keys);
    walk(scratch_.keyed, remaining);
    return false;
}

double Race::collect_fitting(std::int64_t remaining) {
    return task_.by_amount.visit([&](const auto* order) {
        const auto* end = std::partition_point(order, order + task_.by_amount.size(),
                                               [&](std::uint64_t cell) { return amount_[cell] <= remaining; });
        scratch_.pending.clear();
        double smallest = HUGE_VAL;
        for (const auto* it = order; it != end; ++it) {
            if ((it - order) % stop_check_cells == 0) check_stop();
            if (scale_[*it] >= 0.0 && !is_taken(*it)) {
                scratch_.pending.push_back(*it);
                smallest = std::min(smallest, scale_[*it]);
            }
        }
        return smallest;
    });
}

template bool Race::binned_round(std::uint64_t, EveryCell, std::int64_t, std::int64_t&);
template bool Race::binned_round(std::uint64_t, Listed, std::int64_t, std::int64_t&);
template void Race::count_round<true>(std::uint64_t, EveryCell, std::int64_t, const BinShape&, std::uint64_t, bool);
template void Race::take_bins_below(std::uint64_t, EveryCell, std::uint32_t);
template void Race::crossing_keys(std::uint64_t, EveryCell, std::uint32_t, bool);

}  // namespace allotra::race_detail
