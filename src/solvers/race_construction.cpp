#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <span>
#include <type_traits>

#include "kernel/error.hpp"
#include "kernel/worker_pool.hpp"
#include "solvers/race.hpp"
#include "solvers/race_bins.hpp"

namespace allotra {

namespace {

inline void check_stop() {
    if (stop_requested()) throw Cancelled();
}

// Positions that are the cells themselves: the first round over the grid.
struct EveryCell {
    std::uint64_t operator()(std::uint64_t p) const noexcept { return p; }
};

// A function object rather than a function, so that sorting inlines it.
constexpr auto key_order = [](const KeyedCell& p, const KeyedCell& q) {
    return p.key < q.key || (p.key == q.key && p.cell < q.cell);
};

// The random values of one construction: read in slices, and, while a
// binned round is recorded, readable again by their index in the round.
class Draws {
public:
    Draws(RandomGenerator& generator, RaceScratch& scratch) : generator_(generator), scratch_(scratch) {}
    ~Draws() { generator_.stop_recording(); }
    Draws(const Draws&) = delete;
    Draws& operator=(const Draws&) = delete;

    void start_recording() { generator_.start_recording(scratch_.record); }
    void stop_recording() { generator_.stop_recording(); }

    // Exponentials for the next `count` positions, in scratch.exponentials.
    void next_exponentials(std::uint64_t count) {
        scratch_.values.resize(count);
        scratch_.exponentials.resize(count);
        generator_.fill(scratch_.values);
        exponentials_from_bits(scratch_.values.data(), scratch_.exponentials.data(), count);
    }

    // The exponential drawn for position `index` of the recorded round.
    double again(std::uint64_t index) const {
        std::uint64_t value = 0;
        replay(scratch_.record, index, std::span<std::uint64_t>(&value, 1));
        double e = 0.0;
        exponentials_from_bits(&value, &e, 1);
        return e;
    }

    std::uint64_t next_value() { return generator_.next_u64(); }

    double fresh() {
        const std::uint64_t value = generator_.next_u64();
        double e = 0.0;
        exponentials_from_bits(&value, &e, 1);
        return e;
    }

private:
    RandomGenerator& generator_;
    RaceScratch& scratch_;
};

class Race {
public:
    Race(const RaceTask& task, const RaceWeights& weights, RaceScratch& scratch, RandomGenerator& generator,
         const RaceLimits& limits)
        : task_(task),
          weights_(weights),
          scratch_(scratch),
          limits_(limits),
          draws_(generator, scratch),
          amount_(task.amount.data()),
          scale_(weights.scale.data()) {
        scratch_.taken.assign((task.cells + 63) / 64, 0);
    }

    void run() {
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

    bool is_taken(std::uint64_t cell) const { return (scratch_.taken[cell / 64] >> (cell % 64)) & 1u; }

private:
    void take(std::uint64_t cell) { scratch_.taken[cell / 64] |= std::uint64_t{1} << (cell % 64); }

    // The few cells of the race drawn one at a time, with no negative amount
    // among them: at each step, u uniform in [0, total) of the free cells
    // that fit picks the first whose running sum passes u. A cell that no
    // longer fits leaves the list for good.
    void step_by_step(std::int64_t& remaining) {
        const double* weight = weights_.weight.data();
        std::vector<KeyedCell>& live = scratch_.keyed;  // the weight in place of a key
        live.clear();
        for (std::uint64_t cell = 0; cell < task_.cells; ++cell) {
            if (scale_[cell] >= 0.0) live.push_back({weight[cell], cell});
        }
        while (!live.empty()) {
            // Four sums at once: a step is a few additions deep, not one per cell.
            double sums[4] = {0.0, 0.0, 0.0, 0.0};
            for (std::size_t k = 0; k < live.size(); ++k) sums[k % 4] += live[k].key;
            const double total = (sums[0] + sums[1]) + (sums[2] + sums[3]);
            const double u = static_cast<double>(draws_.next_value() >> 11) * 0x1p-53 * total;
            std::size_t chosen = live.size() - 1;  // where rounding carries u past every running sum
            double running = 0.0;
            for (std::size_t k = 0; k < live.size(); ++k) {
                running += live[k].key;
                if (running > u) {
                    chosen = k;
                    break;
                }
            }
            const std::int64_t amount = amount_[live[chosen].cell];
            take(live[chosen].cell);
            remaining -= amount;
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(chosen));
            if (amount > 0) {
                std::erase_if(live, [&](const KeyedCell& cell) { return amount_[cell.cell] > remaining; });
            }
        }
    }

    // Keys for every position in the race, sorted; positions outside it
    // still use up their random value.
    template <typename CellAt>
    void sorted_keys(std::uint64_t count, CellAt cell_at) {
        scratch_.keyed.clear();
        for (std::uint64_t begin = 0; begin < count; begin += limits_.slice) {
            check_stop();
            const std::uint64_t length = std::min(limits_.slice, count - begin);
            draws_.next_exponentials(length);
            for (std::uint64_t k = 0; k < length; ++k) {
                const std::uint64_t cell = cell_at(begin + k);
                if (scale_[cell] >= 0.0) scratch_.keyed.push_back({scratch_.exponentials[k] * scale_[cell], cell});
            }
        }
        std::sort(scratch_.keyed.begin(), scratch_.keyed.end(), key_order);
    }

    // With no negative amount in the race, a cell skipped once never fits
    // again, so one pass in key order is the whole race.
    template <typename CellAt>
    void sorted_race(std::uint64_t count, CellAt cell_at, std::int64_t& remaining) {
        sorted_keys(count, cell_at);
        walk(scratch_.keyed, remaining);
    }

    void walk(const std::vector<KeyedCell>& keyed, std::int64_t& remaining) {
        for (std::uint64_t k = 0; k < keyed.size(); ++k) {
            if (k % limits_.slice == 0) check_stop();
            const std::int64_t amount = amount_[keyed[k].cell];
            if (amount > remaining) continue;
            take(keyed[k].cell);
            remaining -= amount;
        }
    }

    // Bins and counts for positions [begin, begin + length), whose
    // exponentials are in scratch.exponentials.
    template <bool Saturate, bool KeepKeys, typename CellAt>
    void count_bins(std::uint64_t begin, std::uint64_t length, CellAt cell_at, std::int64_t base,
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
    bool binned_round(std::uint64_t count, CellAt cell_at, std::int64_t base, std::int64_t& remaining) {
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
    void collect_fitting(std::int64_t remaining) {
        const std::vector<std::uint64_t>& order = task_.by_amount;
        const auto end = std::partition_point(order.begin(), order.end(),
                                              [&](std::uint64_t cell) { return amount_[cell] <= remaining; });
        scratch_.pending.clear();
        for (auto it = order.begin(); it != end; ++it) {
            if (scale_[*it] >= 0.0 && !is_taken(*it)) scratch_.pending.push_back(*it);
        }
    }

    // The general race, when some cell of the race has a negative amount:
    // a cell that did not fit when its key came waits, by amount, until freed
    // budget lets it fit; it then gets the fresh key now + E * scale.
    void readmitting_race() {
        sorted_keys(task_.cells, [](std::uint64_t p) { return p; });
        const std::vector<KeyedCell>& keyed = scratch_.keyed;
        const auto by_amount = [this](std::uint64_t p, std::uint64_t q) {
            return amount_[p] > amount_[q] || (amount_[p] == amount_[q] && p > q);
        };
        const auto by_key = [](const KeyedCell& p, const KeyedCell& q) { return key_order(q, p); };
        std::vector<std::uint64_t> waiting;  // a heap, smallest amount on top
        std::vector<KeyedCell> readmitted;   // a heap, smallest key on top
        WideInt used = 0;
        WideInt lowest = 0;
        std::uint64_t next = 0;
        for (std::uint64_t steps = 0;; ++steps) {
            if (steps % limits_.slice == 0) check_stop();
            KeyedCell event;
            if (!readmitted.empty() && (next == keyed.size() || key_order(readmitted.front(), keyed[next]))) {
                std::pop_heap(readmitted.begin(), readmitted.end(), by_key);
                event = readmitted.back();
                readmitted.pop_back();
            } else if (next < keyed.size()) {
                event = keyed[next++];
            } else {
                break;
            }
            const std::int64_t amount = amount_[event.cell];
            if (!fits(used, amount, task_.b_total)) {
                waiting.push_back(event.cell);
                std::push_heap(waiting.begin(), waiting.end(), by_amount);
                continue;
            }
            take(event.cell);
            used += amount;
            if (amount >= 0) continue;
            if (weights_.recheck_totals && used < lowest) {
                lowest = used;
                check_total_is_finite(candidate_total(used));
            }
            while (!waiting.empty() && fits(used, amount_[waiting.front()], task_.b_total)) {
                std::pop_heap(waiting.begin(), waiting.end(), by_amount);
                const std::uint64_t cell = waiting.back();
                waiting.pop_back();
                readmitted.push_back({event.key + draws_.fresh() * scale_[cell], cell});
                std::push_heap(readmitted.begin(), readmitted.end(), by_key);
            }
        }
    }

    // The total weight of the candidates with `used` spent, summed in
    // row-major order as a step-by-step draw sums it.
    double candidate_total(WideInt used) const {
        const double* w = weights_.weight.data();
        double total = 0.0;
        for (std::uint64_t cell = 0; cell < task_.cells; ++cell) {
            if (!is_taken(cell) && drawable(w[cell]) && fits(used, amount_[cell], task_.b_total)) total += w[cell];
        }
        return total;
    }

    const RaceTask& task_;
    const RaceWeights& weights_;
    RaceScratch& scratch_;
    const RaceLimits& limits_;
    Draws draws_;
    const std::int64_t* amount_;
    const double* scale_;
};

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
    Race race(task, weights, scratch, generator, limits);
    race.run();
    return selection_of(task, scratch.taken);
}

}  // namespace allotra
