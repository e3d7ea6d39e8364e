// One construction: the dispatch among the kinds of race, the binned rounds
// of large races, and the selection the race leaves.
#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>

#include "solvers/race_state.hpp"

namespace allotra {

namespace race_detail {

// Bins and counts for positions [begin, begin + length), whose
// exponentials are in scratch.exponentials.
template <bool Saturate, bool KeepKeys, typename CellAt>
void Race::count_bins(std::uint64_t begin, std::uint64_t length, CellAt cell_at, std::int64_t base,
                      const BinShape& shape, std::uint64_t cap) {
    const double* e = scratch_.exponentials.data();
    const double* scale = scale_;
    const std::int64_t* amount = amount_;
    std::uint16_t* bins = scratch_.bins.data() + begin;
    double* keys = KeepKeys ? scratch_.keys.data() + begin : nullptr;
    std::uint64_t* counts = scratch_.counts.data();
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
        // Amounts in the race are 0 or more.
        const std::uint64_t a = in_race ? std::min(static_cast<std::uint64_t>(amount[cell]), cap) : 0;
        if constexpr (Saturate) {
            counts[slot] = counts[slot] > cap - a ? cap : counts[slot] + a;
        } else {
            counts[slot] += a;
        }
    }
}

// One round of the binned race over `count` positions; says whether it
// took every cell of the race (no bin crossed the budget).
template <typename CellAt>
bool Race::binned_round(std::uint64_t count, CellAt cell_at, std::int64_t base, std::int64_t& remaining) {
    const BinShape shape = bin_shape(count, limits_);
    const bool keep_keys = count <= limits_.kept_keys;
    std::vector<std::uint16_t>& bins = scratch_.bins;
    std::vector<std::uint64_t>& counts = scratch_.counts;
    if (bins.size() < count) bins.resize(count);
    if (keep_keys && scratch_.keys.size() < count) scratch_.keys.resize(count);
    counts.assign(shape.bins + 1, 0);
    // An amount above the budget counts as budget + 1: whether a run of
    // bins still fits is all that is asked of the counts. Their sums fit
    // 64 bits unless the budget is huge, when they stop at budget + 1.
    const std::uint64_t cap = static_cast<std::uint64_t>(remaining) + 1;
    const bool saturate = cap > std::numeric_limits<std::uint64_t>::max() / std::max<std::uint64_t>(count, 1);
    if (!keep_keys) draws_.start_recording();
    for (std::uint64_t begin = 0; begin < count; begin += limits_.slice) {
        check_stop();
        const std::uint64_t length = std::min(limits_.slice, count - begin);
        draws_.next_exponentials(length);
        if (saturate) {
            keep_keys ? count_bins<true, true>(begin, length, cell_at, base, shape, cap)
                      : count_bins<true, false>(begin, length, cell_at, base, shape, cap);
        } else {
            keep_keys ? count_bins<false, true>(begin, length, cell_at, base, shape, cap)
                      : count_bins<false, false>(begin, length, cell_at, base, shape, cap);
        }
    }
    if (!keep_keys) draws_.stop_recording();

    // The first bin whose amounts, with those of the bins before it, no
    // longer fit; the bins before it are taken whole.
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
    if constexpr (std::is_same_v<CellAt, EveryCell>) {
        // Whole words of the taken cells at once: setting bits one by one
        // would wait on the same word 64 times.
        std::uint64_t* taken = scratch_.taken.data();
        for (std::uint64_t word = 0; word * 64 < count; ++word) {
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
            if (bins[p] < crossing) take(cell_at(p));
        }
    }
    if (crossing == shape.bins) return true;
    scratch_.crossing.clear();
    for (std::uint64_t p = 0; p < count; ++p) {
        if (bins[p] == crossing) scratch_.crossing.push_back(p);
    }

    // The crossing bin in exact key order, from the kept keys or from its
    // cells' values read again.
    check_stop();
    scratch_.keyed.clear();
    for (std::uint64_t p : scratch_.crossing) {
        const std::uint64_t cell = cell_at(p);
        scratch_.keyed.push_back({keep_keys ? scratch_.keys[p] : draws_.again(p) * scale_[cell], cell});
    }
    std::sort(scratch_.keyed.begin(), scratch_.keyed.end(), key_order);
    walk(scratch_.keyed, remaining);
    return false;
}

// The free cells of the race that fit `remaining`, into scratch.pending:
// the start of the cells by amount.
void Race::collect_fitting(std::int64_t remaining) {
    const std::vector<std::uint64_t>& order = task_.by_amount;
    const auto end = std::partition_point(order.begin(), order.end(),
                                          [&](std::uint64_t cell) { return amount_[cell] <= remaining; });
    scratch_.pending.clear();
    for (auto it = order.begin(); it != end; ++it) {
        if (scale_[*it] >= 0.0 && !is_taken(*it)) scratch_.pending.push_back(*it);
    }
}

void Race::run() {
    if (weights_.all_fit) {
        for (std::uint64_t cell = 0; cell < task_.cells; ++cell) {
            if (scale_[cell] >= 0.0) take(cell);
        }
        return;
    }
    const EveryCell every_cell;
    if (weights_.readmission) return readmitting_race();
    std::int64_t remaining = task_.b_total;
    if (weights_.candidates <= limits_.step_limit) return step_by_step(remaining);
    if (weights_.candidates <= limits_.sort_limit) return sorted_race(task_.cells, every_cell, remaining);
    if (binned_round(task_.cells, every_cell, weights_.bin_base, remaining)) return;
    // The cells that still fit, raced anew, until a round ends with
    // every one of them taken.
    std::vector<std::uint64_t>& round = scratch_.round;
    for (;;) {
        collect_fitting(remaining);
        std::swap(round, scratch_.pending);
        const auto listed = [&round](std::uint64_t p) { return round[p]; };
        if (round.empty()) return;
        if (round.size() <= limits_.sort_limit) return sorted_race(round.size(), listed, remaining);
        const std::int64_t base =
            estimate_bin_base(round.size(), listed, scale_, amount_, remaining, bin_shape(round.size(), limits_));
        if (binned_round(round.size(), listed, base, remaining)) return;
    }
}

}  // namespace race_detail

namespace {

// The taken cells in row-major order, and their value with the terms added
// in the objective's order, so that it is bit-identical.
Selection selection_of(const RaceTask& task, const std::vector<std::uint64_t>& taken) {
    Selection selection;
    std::uint64_t chosen = 0;
    for (std::uint64_t word : taken) chosen += static_cast<std::uint64_t>(std::popcount(word));
    selection.cells.assign_set_bits(taken, chosen);
    const double* term = task.term.data();
    double value = 0.0;
    if (task.by_column) {
        for (std::uint64_t j = 0; j < task.n; ++j) {
            for (std::uint64_t cell = j; cell < task.cells; cell += task.n) {
                if ((taken[cell / 64] >> (cell % 64)) & 1u) value = value + term[cell];
            }
        }
    } else {
        for (std::uint64_t cell : selection.cells) value = value + term[cell];
    }
    selection.value = value;
    return selection;
}

}  // namespace

Selection construct_race(const RaceTask& task, const RaceWeights& weights, RaceScratch& scratch,
                         RandomGenerator& generator, const RaceLimits& limits) {
    if (weights.candidates == 0) return Selection{};
    check_total_is_finite(weights.first_total);
    race_detail::Race race(task, weights, scratch, generator, limits);
    race.run();
    return selection_of(task, scratch.taken);
}

}  // namespace allotra
