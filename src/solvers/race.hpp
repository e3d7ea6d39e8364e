// The module's construction, shared by both solvers: an exponential race.
//
// Every cell that can be drawn gets a key E / w, with E exponential and w its
// weight, and the cells are visited in increasing key order; each one that
// fits the remaining budget is taken. By the memorylessness of the
// exponential, the first key among any set of cells belongs to each with
// probability proportional to its weight, so the chosen set has exactly the
// law of drawing one candidate after another in proportion to weight. A cell
// that did not fit when its key came and fits again later (a negative b_ij
// freed budget) races again from that moment on.
//
// Only ratios of weights matter, so keys are scaled by the largest weight in
// the race. Weights more than 2^1024 apart would still overflow a key to
// +infinity; such keys are never ordered among themselves: the race takes
// every finite key first and then races the cells left anew, with the scale
// of the largest weight among them (the same memorylessness).
//
// Large grids are not sorted: the keys are counted into bins on a log scale,
// bins whose amounts fit together are taken whole, and only the bin where the
// budget runs out is sorted. There the race forgets the keys it has not
// reached and starts anew on the cells that still fit, which is again exact:
// given everything before that moment, the keys not yet reached are fresh
// exponentials.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernel/random.hpp"
#include "kernel/exponential.hpp"
#include "model/task.hpp"
#include "solvers/aligned_buffer.hpp"
#include "solvers/candidate_rule.hpp"
#include "solvers/cell_order.hpp"
#include "solvers/chunked.hpp"
#include "solvers/selection.hpp"

namespace allotra {

// The sizes at which the construction changes method; tests make them small
// so that tiny grids take every path.
struct RaceLimits {
    // Races over at most this many cells draw one cell at a time, each in
    // proportion to weight among those that still fit: for so few cells a
    // scan per step costs less than keys.
    std::uint64_t step_limit = 32;
    // Races over at most this many cells sort their keys instead of binning them.
    std::uint64_t sort_limit = 64;
    // Number of bins of the largest races, at most max_bins; smaller races
    // use fewer (see race_bins.hpp).
    std::uint32_t bins = 4096;
    // Bins per octave of key in the largest races: 2^octave_bits, with
    // octave_bits at most max_octave_bits.
    std::uint32_t octave_bits = 7;
    // Cells per slice of random values, and between two looks at the stop flag.
    std::uint64_t slice = 2048;
    // Binned races over at most this many cells keep every key (8 bytes a
    // cell); larger ones keep 2 bytes a cell and read the few keys they need
    // again from the random stream.
    std::uint64_t kept_keys = 65536;
    // Races with negative amounts key the free cells that always fit (16
    // bytes each) once the budget has run out only while they are at most
    // this share of the cells; otherwise they are drawn with the rest.
    double keyed_share = 0.25;
    // Races over at least this many cells, with no negative amount, weights
    // within 2^skip_weight_octaves of each other, and at most skip_share of
    // their cells expected to have a key below the one at which the budget
    // runs out, sample only the cells whose keys fall in each interval of
    // key (race_skipping.cpp); the others draw a key for every cell.
    std::uint64_t skip_cells = 16384;
    double skip_share = 0.4;
    // ... and at least this many cells a group on average; races skip only
    // where the amounts take at most one value for every run_cells cells.
    std::uint64_t skip_group_cells = 256;
    std::uint64_t run_cells = 16;
    // Whether random bits and bounds of a cell's place in its class settle
    // most cells of a race that skips; without them, each reads its scale.
    bool settle_by_digits = true;
    // Lists of cells (the cells by amount, a race's groups and candidates)
    // take 4 bytes an index while the grid has at most this many cells.
    std::uint64_t narrow_cells = std::uint64_t{1} << 32;

    static constexpr int skip_weight_octaves = 127;

    // A bin is a uint16 and one more value marks the cells outside the race.
    static constexpr std::uint32_t max_bins = 65534;
    // The mantissa bits a bin takes from a key; more would not fit the
    // levels of every key in 64-bit arithmetic with room to spare.
    static constexpr std::uint32_t max_octave_bits = 7;
};

// Refuses limits outside those the race is built for (an internal error).
void check_race_limits(const RaceLimits& limits);

// What every construction of a solve shares, whatever the weights: each
// cell's amount in row-major order, and the cells ordered by ascending amount
// (equal amounts by cell index).
struct RaceTask {
    // A run of equal amounts in by_amount: its amount, and the position just
    // past its last cell.
    struct AmountRun {
        std::int64_t amount;
        std::uint64_t end;
    };

    std::uint64_t cells = 0;
    std::uint64_t n = 0;
    std::int64_t b_total = 0;
    // Each cell's b_ij: the task's own matrix where it is row-major, else a
    // copy in amount_copy.
    const std::int64_t* amount = nullptr;
    AlignedBuffer<std::int64_t> amount_copy;
    // The task's values and discounts, read for the value of a selection (a
    // term is c * (1 - omega), as the objective computes it); the task
    // outlives every construction of its solve.
    const IntMatrix* c = nullptr;
    const FloatMatrix* omega = nullptr;
    CellOrder by_amount;
    // The runs of by_amount, when some amount is negative or the amounts take
    // few values: the cells that fit a given room are the positions before
    // the end of a run.
    std::vector<AmountRun> amount_runs;
    // The objective adds its terms column by column (column-major c and omega).
    bool by_column = false;
};

RaceTask race_task(const Task& task, const RaceLimits& limits = {});

// The cells of a race that skips, grouped by amount and by the class of
// their key's scale (the scale's exponent and top mantissa bit: two classes
// an octave), the groups in ascending amount, so that the groups that fit a
// budget are a prefix of them. Cells of amount 0 are in no group: every
// construction takes them.
struct RaceGroups {
    struct Group {
        std::uint64_t begin;
        std::uint64_t end;
        std::int64_t amount;
        // The smallest scale of the class: no member's key comes sooner.
        double least_scale;
        // The class's index; its low bit is the class's top mantissa bit, by
        // which its scales run up to 1.5 or 4/3 times least_scale.
        std::uint32_t class_index;
    };
    static constexpr unsigned class_bits = 1;
    // Mantissa bits below the class's that place a member's scale in it.
    static constexpr unsigned fine_bits = 8;

    bool active = false;
    std::vector<Group> groups;
    // The member cells, 4 bytes each while the grid allows, else 8; and for
    // each, the next fine_bits of its scale's mantissa.
    std::vector<std::uint32_t> narrow;
    std::vector<std::uint64_t> wide;
    std::vector<std::uint8_t> fine;
    // The positions in by_amount of the cells of amount 0.
    std::uint64_t zero_end = 0;
    // The first interval of key: expected to use most, not all, of the budget.
    double first_span = 0.0;
};

// What every construction of a batch shares, for one set of weights.
struct RaceWeights {
    // Each cell's weight as given (any value; only > 0 is drawn).
    AlignedBuffer<double> weight;
    // A cell in the race has the key E * scale (scale = largest / w, so keys
    // neither underflow nor tie at 0, and +infinity where w is more than
    // 2^1024 times lighter); -1 marks a cell that is never in it: it cannot
    // be drawn, or, with no negative amount among the drawable cells, does
    // not fit even the empty selection. `largest` is the largest finite
    // weight in the race: cells that can never fit do not set it. A race
    // that skips has no such array and divides where it needs a scale.
    AlignedBuffer<double> scale;
    double largest = 1.0;
    // A drawable cell has a negative amount: skipped cells can fit again.
    bool readmission = false;
    // With readmission, the weights in by_amount order, 0 where a cell
    // cannot be drawn.
    AlignedBuffer<double> weight_by_amount;
    // The total weight of the first step's candidates, summed in row-major
    // order, and whether any later step's total can be infinite when this
    // one is not (only when skipped cells fit again).
    double first_total = 0.0;
    bool recheck_totals = false;
    // Every candidate of the first step fits together: all are chosen.
    bool all_fit = false;
    std::uint64_t candidates = 0;
    // The key bits (shifted) of the lowest bin, placing the bins around the
    // expected key at which the budget runs out.
    std::int64_t bin_base = 0;
    RaceGroups groups;
};

// Fills `weights` with weight(cell) for every row-major cell, in parallel
// chunks (each cell's weight is the same call whichever worker makes it),
// then derives the rest. Reuses the buffers.
template <typename Weight>
void prepare_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits, Weight&& weight);
void finish_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits);
// Decides whether the constructions skip and, if so, groups the cells
// (race_groups.cpp); `max_scale` is the largest scale in the race.
void group_race_cells(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits, double max_scale);

// A key and its cell, ordered by key then cell.
struct KeyedCell {
    double key;
    std::uint64_t cell;
};

// One worker's working memory, kept between constructions so that none
// allocates it anew: 2 bytes per cell for the bins and 1 bit for the taken
// cells, plus what the sorted races and the crossing bin need (and the keys
// of races small enough to keep them); with negative amounts, under a byte
// per cell more for the sums of the cells drawn one by one, and 16 bytes for
// each keyed cell of no positive amount (at most keyed_share of the cells).
// A race that skips needs no bins: the taken bit, and 4 bytes for each
// candidate of its largest interval (most of what it takes).
struct RaceScratch {
    std::vector<std::uint64_t> values;
    std::vector<double> exponentials;
    std::vector<double> keys;
    std::vector<std::uint16_t> bins;
    std::vector<std::uint64_t> counts;
    std::vector<std::uint64_t> taken;
    std::vector<std::uint64_t> crossing;
    std::vector<std::uint64_t> pending;
    std::vector<std::uint64_t> round;
    std::vector<KeyedCell> keyed;
    std::vector<double> sums;
    std::vector<std::uint16_t> free_blocks;
    std::vector<std::uint16_t> unmarked;
    // A race that skips: the interval's candidates (4 bytes each while the
    // grid allows, else 8), and each group's members not yet taken.
    std::vector<std::uint32_t> candidates;
    std::vector<std::uint64_t> wide_candidates;
    std::vector<std::uint64_t> group_free;
    // Random values read 16 bits at a time, and for each class the odds of
    // its scanned cells in the interval they were made for.
    std::vector<std::uint64_t> bits;
    std::vector<std::uint32_t> odds;
    std::vector<std::uint64_t> odds_interval;
    std::uint64_t intervals = 0;
    StreamRecord record;
};

// One construction. A first-step candidate total of +infinity (an infinite
// weight that fits, or an overflowing sum), or such a total at a later step
// when freed budget lets skipped cells back, is the weighted choice's
// internal error.
Selection construct_race(const RaceTask& task, const RaceWeights& weights, RaceScratch& scratch,
                         RandomGenerator& generator, const RaceLimits& limits = {});

template <typename Weight>
void prepare_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits, Weight&& weight) {
    if (weights.weight.size != task.cells || !weights.weight.storage) {
        weights.weight = aligned_buffer<double>(task.cells);
    }
    double* w = weights.weight.data();
    run_in_chunks(task.cells, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) w[cell] = weight(cell);
    });
    finish_race_weights(weights, task, limits);
}

}  // namespace allotra
