#include "solvers/fast_construction.hpp"

#include <algorithm>
#include <numeric>

#include "kernel/error.hpp"
#include "kernel/objective.hpp"
#include "kernel/worker_pool.hpp"
#include "solvers/candidate_rule.hpp"

namespace allotra {

ResourceOrder resource_order(const Task& task) {
    ResourceOrder resources;
    resources.b.resize(task.m * task.n);
    if (resources.b.empty()) return resources;
    for (std::uint64_t i = 0; i < task.m; ++i) {
        for (std::uint64_t j = 0; j < task.n; ++j) resources.b[i * task.n + j] = task.b_ij.at(i, j);
    }
    resources.by_b.resize(resources.b.size());
    std::iota(resources.by_b.begin(), resources.by_b.end(), std::uint64_t{0});
    const std::vector<std::int64_t>& b = resources.b;
    std::sort(resources.by_b.begin(), resources.by_b.end(),
              [&b](std::uint64_t p, std::uint64_t q) { return b[p] < b[q] || (b[p] == b[q] && p < q); });
    return resources;
}

void build_fast_start(FastStart& start, const Task& task, const ResourceOrder& resources,
                      std::span<const double> weights) {
    const std::uint64_t count = resources.b.size();
    if (weights.size() != count) fail("fast construction: one weight per cell expected");
    start.weights.resize(count);
    for (std::uint64_t cell = 0; cell < count; ++cell) {
        const double w = weights[cell];
        start.weights[cell] = drawable(w) ? w : 0.0;
    }
    start.order.clear();
    start.order_b.clear();
    for (std::uint64_t cell : resources.by_b) {
        if (start.weights[cell] > 0.0) {
            start.order.push_back(cell);
            start.order_b.push_back(resources.b[cell]);
        }
    }
    // With nothing chosen, the cells that fit are a prefix of the order.
    start.fitting = 0;
    while (start.fitting < start.order.size() && fits(0, start.order_b[start.fitting], task.b_total)) {
        ++start.fitting;
    }
    reset_sum_tree(start.tree, count);
    for (std::uint64_t k = 0; k < start.fitting; ++k) {
        const std::uint64_t cell = start.order[k];
        put_leaf(start.tree, cell, start.weights[cell]);
    }
    rebuild(start.tree);
}

namespace {

// After `used` grew: the cells at the end of the fitting prefix that no
// longer fit leave the tree.
void drop_cells_that_no_longer_fit(const FastStart& start, FastScratch& scratch, std::uint64_t& fitting,
                                   __int128 used, std::int64_t b_total) {
    scratch.changed.clear();
    while (fitting > 0 && !fits(used, start.order_b[fitting - 1], b_total)) {
        --fitting;
        const std::uint64_t cell = start.order[fitting];
        if (leaf(scratch.tree, cell) != 0.0) {
            put_leaf(scratch.tree, cell, 0.0);
            scratch.changed.push_back(cell);
        }
    }
    refresh(scratch.tree, scratch.changed);
}

// After `used` fell: the free cells that fit again come back into the tree.
void restore_cells_that_fit_again(const FastStart& start, FastScratch& scratch, std::uint64_t& fitting,
                                  __int128 used, std::int64_t b_total) {
    scratch.changed.clear();
    while (fitting < start.order.size() && fits(used, start.order_b[fitting], b_total)) {
        const std::uint64_t cell = start.order[fitting];
        ++fitting;
        if (scratch.selected[cell] == 0) {
            put_leaf(scratch.tree, cell, start.weights[cell]);
            scratch.changed.push_back(cell);
        }
    }
    refresh(scratch.tree, scratch.changed);
}

}  // namespace

Selection construct_fast(const Task& task, const ResourceOrder& resources, const FastStart& start,
                       FastScratch& scratch, RandomGenerator& generator) {
    const std::uint64_t count = resources.b.size();
    scratch.tree = start.tree;
    scratch.selected.assign(count, 0);
    std::uint64_t chosen = 0;
    std::uint64_t fitting = start.fitting;
    __int128 used = 0;

    for (;;) {
        const double sum = total(scratch.tree);
        if (!(sum > 0.0)) break;  // no candidate is left
        check_total_is_finite(sum);
        // One 64-bit value per step, even for a single candidate.
        const double r = unit_from_bits(generator.next_u64()) * sum;
        const std::uint64_t cell = descend(scratch.tree, r);
        set_leaf(scratch.tree, cell, 0.0);
        scratch.selected[cell] = 1;
        ++chosen;
        const std::int64_t b = resources.b[cell];
        used += b;
        if (b > 0) {
            drop_cells_that_no_longer_fit(start, scratch, fitting, used, task.b_total);
        } else if (b < 0) {
            restore_cells_that_fit_again(start, scratch, fitting, used, task.b_total);
        }
    }

    // The chosen cells in order, from the marks: cheaper than sorting them.
    Selection selection;
    selection.cells.reserve(chosen);
    for (std::uint64_t cell = 0; cell < count; ++cell) {
        if (scratch.selected[cell] != 0) selection.cells.push_back(cell);
    }
    if (visits_by_column(task.c, task.omega)) {
        // The objective adds the terms column by column here; the same order
        // gives the same rounding.
        std::vector<std::uint64_t>& by_column = scratch.changed;
        by_column.clear();
        for (std::uint64_t j = 0; j < task.n; ++j) {
            for (std::uint64_t cell = j; cell < count; cell += task.n) {
                if (scratch.selected[cell] != 0) by_column.push_back(cell);
            }
        }
        selection.value = objective_of_cells(by_column, task.c, task.omega);
    } else {
        selection.value = objective_of_cells(selection.cells, task.c, task.omega);
    }
    return selection;
}

FastSampler fast_sampler(const Task& task) {
    FastSampler sampler;
    sampler.resources = resource_order(task);
    sampler.scratch.resize(pool_size() + 1);
    return sampler;
}

Selection construct_fast(const Task& task, FastSampler& sampler, RandomGenerator& generator, std::size_t worker) {
    return construct_fast(task, sampler.resources, sampler.start, sampler.scratch.at(worker), generator);
}

}  // namespace allotra
