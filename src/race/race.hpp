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
//
// This header is the race's face: what a construction needs (the task's
// cells by amount, the weights, the limits, a worker's scratch) and the call
// that builds one selection. The rest of this folder is its inner rooms.
#pragma once

#include <cstdint>
#include <utility>

#include "kernel/pool/chunked.hpp"
#include "kernel/random/random.hpp"
#include "kernel/selection.hpp"
#include "race/limits.hpp"
#include "race/scratch.hpp"
#include "race/task.hpp"
#include "race/weights.hpp"

namespace allotra {

// Fills `weights` with weight(cell) for every row-major cell, in parallel
// chunks (each cell's weight is the same call whichever worker makes it),
// then derives the rest. Reuses the buffers.
template <typename Weight>
void prepare_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits, Weight&& weight);

// One construction. A first-step candidate total of +infinity (an infinite
// weight that fits, or an overflowing sum), or such a total at a later step
// when freed budget lets skipped cells back, is the weighted choice's
// internal error. A selection whose value cannot exceed `must_beat` is
// dropped before its exact value is summed (see finish_selection).
Selection construct_race(const RaceTask& task, const RaceWeights& weights, RaceScratch& scratch,
                         RandomGenerator& generator, const RaceLimits& limits = {},
                         double must_beat = cannot_win);

// The same, its value left to value_selections (see result.hpp), which
// values many selections at once.
Selection construct_race_unvalued(const RaceTask& task, const RaceWeights& weights, RaceScratch& scratch,
                                  RandomGenerator& generator, const RaceLimits& limits = {});

// Keeps the storage of a selection that its solver no longer needs, for the
// next construction on the scratch's worker; the larger of two is kept.
inline void recycle_selection(RaceScratch& scratch, Selection&& done) {
    if (done.taken.capacity() > scratch.spare_taken.capacity()) scratch.spare_taken = std::move(done.taken);
}

// A buffer of weights for every cell of `task`, kept where it has one.
inline void ready_weight_buffer(RaceWeights& weights, const RaceTask& task) {
    if (weights.weight.size != task.cells || !weights.weight.storage) {
        weights.weight = unwritten_buffer<double>(task.cells);
    }
}

// Writes weight(cell) for the cells [begin, end) and gives their facts.
template <typename Weight>
WeightFacts weigh_cells(RaceWeights& weights, const RaceTask& task, std::uint64_t begin, std::uint64_t end,
                        Weight&& weight) {
    double* w = weights.weight.data();
    const std::int64_t* amount = task.amount;
    ChunkFacts facts(task.b_total);
    for (std::uint64_t cell = begin; cell < end; ++cell) {
        const double x = weight(cell);
        w[cell] = x;
        facts.note(cell, x, amount[cell]);
    }
    return facts.facts();
}

template <typename Weight>
void prepare_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits, Weight&& weight) {
    ready_weight_buffer(weights, task);
    // What the race needs to know of the weights is gathered as they are made.
    std::vector<WeightFacts> chunks((task.cells + default_chunk - 1) / default_chunk);
    run_in_chunks(task.cells, [&](std::uint64_t begin, std::uint64_t end) {
        chunks[begin / default_chunk] = weigh_cells(weights, task, begin, end, weight);
    });
    finish_race_weights(weights, task, limits, chunks);
}

}  // namespace allotra
