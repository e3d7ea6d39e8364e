// The state of one construction's race, shared by the files that run its
// parts (race_construction.cpp: the dispatch and the binned rounds;
// race_steps.cpp: tiny races; race_readmission.cpp: races with negative
// amounts). Internal to the constructions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "kernel/error.hpp"
#include "kernel/exponential.hpp"
#include "kernel/random.hpp"
#include "kernel/worker_pool.hpp"
#include "solvers/race.hpp"
#include "solvers/race_bins.hpp"

namespace allotra::race_detail {

inline void check_stop() {
    if (stop_requested()) throw Cancelled();
}

// Positions that are the cells themselves: the first round over the grid.
struct EveryCell {
    std::uint64_t operator()(std::uint64_t p) const noexcept { return p; }
};

// A function object rather than a function, so that sorting inlines it.
inline constexpr auto key_order = [](const KeyedCell& p, const KeyedCell& q) {
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

    // Runs the race; the taken cells are then in scratch.taken.
    void run();

    bool is_taken(std::uint64_t cell) const { return (scratch_.taken[cell / 64] >> (cell % 64)) & 1u; }

private:
    void take(std::uint64_t cell) { scratch_.taken[cell / 64] |= std::uint64_t{1} << (cell % 64); }

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

    // The few cells of the race drawn one at a time (race_steps.cpp).
    void step_by_step(std::int64_t& remaining);

    template <bool Saturate, bool KeepKeys, typename CellAt>
    void count_bins(std::uint64_t begin, std::uint64_t length, CellAt cell_at, std::int64_t base,
                    const BinShape& shape, std::uint64_t cap);
    template <typename CellAt>
    bool binned_round(std::uint64_t count, CellAt cell_at, std::int64_t base, std::int64_t& remaining);
    void collect_fitting(std::int64_t remaining);

    // The general race, when some cell of the race has a negative amount
    // (race_readmission.cpp).
    void readmitting_race();
    double candidate_total(WideInt used) const;

    const RaceTask& task_;
    const RaceWeights& weights_;
    RaceScratch& scratch_;
    const RaceLimits& limits_;
    Draws draws_;
    const std::int64_t* amount_;
    const double* scale_;
};

}  // namespace allotra::race_detail
