// The state of one construction's race, shared by the files that run its
// parts (race.cpp: the dispatch and the rounds; binned.cpp: binned rounds;
// steps.cpp: tiny races; skipping.cpp, sampling.cpp and scanning.cpp: races
// that sample only the cells that can matter; readmission.cpp and
// in_turn.cpp: races with negative amounts). Internal to the race: nothing
// outside this folder includes it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "kernel/error.hpp"
#include "kernel/pool/chunked.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "kernel/random/exponential.hpp"
#include "kernel/random/random.hpp"
#include "kernel/simd/odds_split.hpp"
#include "race/bins.hpp"
#include "race/candidate_rule.hpp"
#include "race/limits.hpp"
#include "race/scratch.hpp"
#include "race/task.hpp"
#include "race/weights.hpp"

namespace allotra::race_detail {

inline void check_stop() { stop_if_requested(); }

// A uniform value in [0, 1) from 53 bits of a random value.
inline double unit_of(std::uint64_t bits) { return static_cast<double>(bits >> 11) * 0x1p-53; }

// Positions that are the cells themselves: the first round over the grid.
struct EveryCell {
    std::uint64_t operator()(std::uint64_t p) const noexcept { return p; }
};

// Positions in a list of cells: a later round.
struct Listed {
    const std::uint64_t* cells;
    std::uint64_t operator()(std::uint64_t p) const noexcept { return cells[p]; }
};

// A cell's scale as finish_race_weights set it.
struct StoredScale {
    const double* scale;
    double operator()(std::uint64_t cell) const noexcept { return scale[cell]; }
};

// The scale of a round whose heaviest cell weighs `largest`: a round of cells
// far lighter than the heaviest of the race, whose stored scales (and keys)
// would be infinite.
struct RoundScale {
    const double* weight;
    double largest;
    double operator()(std::uint64_t cell) const noexcept { return largest / weight[cell]; }
};

// A function object rather than a function, so that sorting inlines it.
inline constexpr auto key_order = [](const KeyedCell& p, const KeyedCell& q) {
    return p.key < q.key || (p.key == q.key && p.cell < q.cell);
};

// The random values of one construction: read in slices, and, while a
// binned round is recorded, readable again by their index in the round.
class Draws {
public:
    Draws(RandomGenerator& generator, RaceScratch& scratch)
        : generator_(generator), scratch_(scratch), in_use_(generator) {}
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

    // The next `count` random values, in scratch.bits.
    void next_values(std::uint64_t count) {
        scratch_.bits.resize(count);
        generator_.fill(scratch_.bits);
    }

    double fresh() {
        const std::uint64_t value = generator_.next_u64();
        double e = 0.0;
        exponentials_from_bits(&value, &e, 1);
        return e;
    }

private:
    RandomGenerator& generator_;
    RaceScratch& scratch_;
    GeneratorInUse in_use_;
};

// The interval's candidates of a race that skips, as wide as the group members.
inline LargeVector<std::uint32_t>& candidates_of(RaceScratch& scratch, const std::uint32_t*) {
    return scratch.candidates;
}
inline LargeVector<std::uint64_t>& candidates_of(RaceScratch& scratch, const std::uint64_t*) {
    return scratch.wide_candidates;
}
// Makes `cells` hold at least `size` entries, growing it by half at least.
template <typename Index, typename Allocator>
inline void room_for(std::vector<Index, Allocator>& cells, std::size_t size) {
    if (cells.size() < size) cells.resize(std::max(size, cells.size() + cells.size() / 2));
}

// The compacted lists of free members, as wide as the group members.
inline UninitializedVector<std::uint32_t>& kept_of(RaceScratch& scratch, const std::uint32_t*) { return scratch.kept; }
inline UninitializedVector<std::uint64_t>& kept_of(RaceScratch& scratch, const std::uint64_t*) {
    return scratch.wide_kept;
}

// The members of one group that an interval looks at: its free list.
template <typename Index>
struct Members {
    const Index* cells;
    const std::uint8_t* fine;
    const std::uint8_t* offset;  // amount less the group's least, or null
    std::uint64_t count;
};

// Where a scan writes the members it leaves free.
template <typename Index>
struct Kept {
    Index* cells;
    std::uint8_t* fine;
    std::uint8_t* offset;
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
          amount_(task.amount),
          scale_(weights.scale.data()) {
        scratch_.taken.assign((task.cells + 63) / 64, 0);
    }

    // Runs the race; the taken cells are then in scratch.taken.
    void run();

    bool is_taken(std::uint64_t cell) const { return (scratch_.taken[cell / 64] >> (cell % 64)) & 1u; }

private:
    void take(std::uint64_t cell) { scratch_.taken[cell / 64] |= std::uint64_t{1} << (cell % 64); }

    // Keys for every position in the race, sorted; positions outside it
    // still use up their random value.
    template <typename CellAt, typename ScaleOf>
    void sorted_keys(std::uint64_t count, CellAt cell_at, ScaleOf scale_of) {
        scratch_.keyed.clear();
        for (std::uint64_t begin = 0; begin < count; begin += limits_.slice) {
            check_stop();
            const std::uint64_t length = std::min(limits_.slice, count - begin);
            draws_.next_exponentials(length);
            for (std::uint64_t k = 0; k < length; ++k) {
                const std::uint64_t cell = cell_at(begin + k);
                const double scale = scale_of(cell);
                if (scale >= 0.0) scratch_.keyed.push_back({scratch_.exponentials[k] * scale, cell});
            }
        }
        std::sort(scratch_.keyed.begin(), scratch_.keyed.end(), key_order);
    }

    // With no negative amount in the race, a cell skipped once never fits
    // again, so one pass in key order is the whole race, unless some keys
    // overflowed (see walk). Says whether it was the whole race.
    template <typename CellAt, typename ScaleOf>
    bool sorted_race(std::uint64_t count, CellAt cell_at, ScaleOf scale_of, std::int64_t& remaining) {
        sorted_keys(count, cell_at, scale_of);
        return walk(scratch_.keyed, remaining);
    }

    // Takes the cells in key order while they fit. Infinite keys (weights
    // more than 2^1024 times lighter than the scale's) have no order among
    // themselves: the walk stops at the first and says so, and the cells
    // left race anew.
    bool walk(std::span<const KeyedCell> keyed, std::int64_t& remaining) {
        std::uint64_t until_check = 0;
        for (std::uint64_t k = 0; k < keyed.size(); ++k) {
            if (until_check-- == 0) {
                check_stop();
                until_check = limits_.slice;
            }
            if (keyed[k].key == HUGE_VAL) return false;
            const std::int64_t amount = amount_[keyed[k].cell];
            if (amount > remaining) continue;
            take(keyed[k].cell);
            remaining -= amount;
        }
        return true;
    }

    // The few cells of the race drawn one at a time (steps.cpp).
    void step_by_step(std::int64_t& remaining);

    // Binned rounds (binned.cpp). A round counts every position's
    // amount into the bin of its key; Signed rounds count positive and
    // negative amounts apart.
    template <bool Saturate, bool KeepKeys, bool Signed, typename CellAt>
    void count_bins(std::uint64_t begin, std::uint64_t length, CellAt cell_at, std::int64_t base,
                    const BinShape& shape, std::uint64_t cap);
    template <bool Signed, typename CellAt>
    void count_round(std::uint64_t count, CellAt cell_at, std::int64_t base, const BinShape& shape,
                     std::uint64_t cap, bool keep_keys);
    template <typename CellAt>
    void take_bins_below(std::uint64_t count, CellAt cell_at, std::uint32_t crossing);
    // The cells of the crossing bin, in scratch.keyed in key order.
    template <typename CellAt>
    void crossing_keys(std::uint64_t count, CellAt cell_at, std::uint32_t crossing, bool keep_keys);
    // One round over `count` positions; says whether it took every cell of
    // the race (no bin crossed the budget).
    template <typename CellAt>
    bool binned_round(std::uint64_t count, CellAt cell_at, std::int64_t base, std::int64_t& remaining);
    // The free cells of the race that fit `remaining`, into scratch.pending;
    // returns the smallest stored scale among them.
    double collect_fitting(std::int64_t remaining);

    // A race that samples only the cells whose keys fall in each interval
    // (skipping.cpp).
    void skipping_race();
    template <typename Index>
    void skipping_intervals(const Index* members, std::int64_t remaining);
    // Add the group's candidates for an interval and say how many; the
    // members passed over where AnyTaken are the list's stale ones. A scan
    // also writes the members it leaves free to `kept`, and says how many.
    template <typename Index>
    void compact(FreeList& list, const RaceGroups::Group& group, const Index* members);
    void order_keys(double span);
    template <typename Index>
    std::uint64_t keep_fitting(std::size_t first, std::int64_t remaining, const Index* members);
    template <bool AnyTaken, typename Index>
    std::uint64_t sample_group(Members<Index> members, const RaceGroups::Group& group, double span);
    template <bool AnyTaken, typename Index>
    std::uint64_t whole_group(Members<Index> members);
    template <bool AnyTaken, typename Index>
    std::uint64_t scan_group(Members<Index> members, Kept<Index> kept, std::uint64_t& kept_count,
                             const PlaceOdds& odds, double span);
    const PlaceOdds& odds_of(const RaceGroups::Group& group, double span);
    // A cell's scale in a race that skips, which keeps no array of them.
    double scale_at(std::uint64_t cell) const { return weights_.largest / weights_.weight[cell]; }
    bool gap_passes(double length);

    // The general race, when some cell of the race has a negative amount
    // (readmission.cpp; once its keys are forgotten, in_turn.cpp).
    void readmitting_race();
    bool signed_round(WideInt& used);
    void walk_readmitting(const LargeVector<KeyedCell>& keyed, WideInt& used, double end);
    void draw_in_turn(WideInt used);
    bool race_always_fitting(std::uint64_t always);
    void keyed_and_drawn(WideInt used, std::uint64_t always, std::uint64_t reach);
    std::int64_t amount_at(std::uint64_t p) const;
    std::uint64_t fitting_end(WideInt used, std::size_t& hint) const;
    WideInt used_by_taken() const;
    double candidate_total(WideInt used) const;

    const RaceTask& task_;
    const RaceWeights& weights_;
    RaceScratch& scratch_;
    const RaceLimits& limits_;
    Draws draws_;
    const std::int64_t* amount_;
    const double* scale_;
    // A race that skips: the exponentials left in scratch.exponentials, and
    // how many of scratch.candidates the interval has found.
    std::uint64_t exponentials_left_ = 0;
    std::size_t candidate_count_ = 0;
    // The sum of the offsets of the candidates a group has found.
    std::uint64_t offset_sum_ = 0;
};

}  // namespace allotra::race_detail
