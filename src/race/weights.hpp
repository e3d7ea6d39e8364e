// What every construction of a batch shares for one set of weights.
#pragma once

#include <cstdint>
#include <vector>

#include "kernel/memory/aligned_buffer.hpp"
#include "race/groups.hpp"
#include "race/limits.hpp"
#include "race/task.hpp"
#include "race/weight_facts.hpp"

namespace allotra {

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

// Derives the rest from weights.weight and the facts of its chunks of
// default_chunk cells (made where the weights were). Reuses the buffers.
void finish_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits,
                         const std::vector<WeightFacts>& chunks);

namespace testing {
// What one set of weights made of the race: whether its constructions skip,
// in how many groups (merged ones among them), how many octaves its
// weights that fit span, and the weights themselves (only during the call).
struct PreparedRace {
    bool skipping;
    std::uint64_t groups;
    std::uint64_t merged;
    double octaves;
    const RaceWeights* weights;
};
// Called on the preparing thread after every set of weights is prepared
// (nullptr: no call), so that a test can tell which form a solve's
// constructions took. Production never sets it.
void set_prepared_hook(void (*hook)(const PreparedRace&));
}  // namespace testing

}  // namespace allotra
