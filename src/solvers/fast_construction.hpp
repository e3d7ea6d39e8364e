// The module's construction, shared by both solvers. It draws from the same
// candidates with the same weights as the reference form (candidate_rule.hpp:
// free cells that fit the remaining budget and weigh more than 0), but keeps
// them in a sum tree instead of rescanning the grid at every step.
//
// The tree's leaves are the cells ordered by ascending b_ij, so the cells that
// fit the remaining budget are always a prefix of them: when a chosen cell
// uses budget, the prefix shrinks, and when a negative b_ij frees budget it
// grows again, without visiting the cells one by one. A chosen cell leaves
// the tree for good. The order of the leaves changes which interval of the
// drawn number a cell owns, not the probability of drawing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernel/random.hpp"
#include "model/task.hpp"
#include "solvers/candidate_rule.hpp"
#include "solvers/chunked.hpp"
#include "solvers/selection.hpp"
#include "solvers/sum_tree.hpp"

namespace allotra {

// What stays fixed during a solve: the cells ordered by ascending b_ij (equal
// amounts by cell index), their amounts in the same order (apart, since a
// step needs the drawn leaf's amount at once and its cell only at the end;
// read at random, so on large pages like the leaf weights), and how many of
// them fit the budget with nothing chosen (a prefix).
struct ResourceOrder {
    std::vector<std::uint64_t> cells;
    AlignedBuffer<std::int64_t> b;
    std::uint64_t fitting = 0;
};

ResourceOrder resource_order(const Task& task);

// What every construction of a batch starts from, for one set of weights:
// leaf k is cell resources.cells[k], weighing its weight if > 0, else 0.
struct FastStart {
    SumTreeLeaves leaves;
    SumTreeState tree;  // the fitting prefix live, nothing taken
};

// Fills `start` with weight(cell) for every cell (any value: zero, negative
// and NaN are never drawn), in parallel chunks of leaves; each leaf's weight
// is the same call whichever worker makes it. Reuses the buffers. Defined
// below.
// The working memory of one construction, kept by each worker so that a
// construction does not allocate it anew: the tree's state (about 1.3 bytes
// per cell) and the chosen cells as bits in row-major order.
struct FastScratch {
    SumTreeState tree;
    std::vector<std::uint64_t> chosen;
    CellList by_column;
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

// Computes the inner sums of `start` once its leaves are filled.
void finish_fast_start(FastStart& start, const ResourceOrder& resources);

template <typename Weight>
void build_fast_start(FastStart& start, const ResourceOrder& resources, Weight&& weight) {
    const std::uint64_t count = resources.cells.size();
    if (start.leaves.count != count || start.leaves.level.empty()) shape_sum_tree(start.leaves, count);
    double* leaves = start.leaves.weights.data();
    run_in_chunks(count, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t k = begin; k < end; ++k) {
            const double w = weight(resources.cells[k]);
            leaves[k] = drawable(w) ? w : 0.0;
        }
    });
    finish_fast_start(start, resources);
}

}  // namespace allotra
