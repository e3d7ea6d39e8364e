// The module's construction, shared by both solvers. It draws from the same
// candidates with the same weights as the reference form (candidate_rule.hpp:
// free cells that fit the remaining budget and weigh more than 0, in row-major
// order), but keeps them in a sum tree instead of rescanning the grid at every
// step: a chosen cell leaves the tree, and cells that stop fitting leave it as
// the budget shrinks, found through the cells sorted by b_ij; they come back
// when a negative b_ij frees budget again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernel/random.hpp"
#include "model/task.hpp"
#include "solvers/selection.hpp"
#include "solvers/sum_tree.hpp"

namespace allotra {

// What stays fixed during a solve: b_ij in row-major order, and the cells
// ordered by ascending b_ij (equal amounts by cell index).
struct ResourceOrder {
    std::vector<std::int64_t> b;
    std::vector<std::uint64_t> by_b;
};

ResourceOrder resource_order(const Task& task);

// What every construction of a batch starts from, for one set of weights.
struct FastStart {
    std::vector<double> weights;        // per cell, row-major: the weight if > 0, else 0
    std::vector<std::uint64_t> order;   // the cells of positive weight by ascending b_ij
    std::vector<std::int64_t> order_b;  // their b_ij, in the same order
    std::uint64_t fitting = 0;          // how many of `order` fit the whole budget
    SumTree tree;                       // leaf per cell: its weight if among those, else 0
};

// Fills `start` for `weights` (row-major, any values: zero, negative and NaN
// are never drawn), reusing its buffers.
void build_fast_start(FastStart& start, const Task& task, const ResourceOrder& resources,
                      std::span<const double> weights);

// The working memory of one construction, kept by each worker so that a
// construction does not allocate it anew.
struct FastScratch {
    SumTree tree;
    std::vector<std::uint8_t> selected;
    std::vector<std::uint64_t> changed;  // leaves changed by one move of the budget
};

// One construction. A candidate total of +infinity (an infinite weight that
// fits, or an overflowing sum) is the internal error of the weighted choice.
Selection construct_fast(const Task& task, const ResourceOrder& resources, const FastStart& start,
                       FastScratch& scratch, RandomGenerator& generator);

// The state of a fast form that runs batches: what is shared, and one scratch
// per worker (pool_size() + 1 slots: the pool's workers and the caller).
struct FastSampler {
    ResourceOrder resources;
    FastStart start;
    std::vector<FastScratch> scratch;
};

FastSampler fast_sampler(const Task& task);

Selection construct_fast(const Task& task, FastSampler& sampler, RandomGenerator& generator, std::size_t worker);

}  // namespace allotra
