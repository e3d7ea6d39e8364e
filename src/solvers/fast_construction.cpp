#include "solvers/fast_construction.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <utility>

#include "kernel/error.hpp"
#include "kernel/objective.hpp"
#include "kernel/worker_pool.hpp"

namespace allotra {

ResourceOrder resource_order(const Task& task) {
    ResourceOrder resources;
    if (task.m == 0 || task.n == 0) return resources;
    // Every index below lies inside the task's m x n matrices.
    const std::uint64_t count = task.m * task.n;
    resources.cells.resize(count);
    resources.b = aligned_buffer<std::int64_t>(count);
    std::int64_t low = *task.b_ij.ptr(0, 0);
    std::int64_t high = low;
    for (std::uint64_t i = 0; i < task.m; ++i) {
        for (std::uint64_t j = 0; j < task.n; ++j) {
            low = std::min(low, *task.b_ij.ptr(i, j));
            high = std::max(high, *task.b_ij.ptr(i, j));
        }
    }
    // The difference of two int64 is exact in uint64 when high >= low.
    const std::uint64_t range = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    if (range < count) {
        // Few distinct amounts (the usual case): counting them places every
        // cell in one pass, and a scan in cell order keeps equal amounts by
        // cell index, the order the comparison sort below gives.
        std::vector<std::uint64_t> next(range + 1, 0);
        for (std::uint64_t i = 0; i < task.m; ++i) {
            for (std::uint64_t j = 0; j < task.n; ++j) {
                ++next[static_cast<std::uint64_t>(*task.b_ij.ptr(i, j)) - static_cast<std::uint64_t>(low)];
            }
        }
        std::uint64_t position = 0;
        for (std::uint64_t& slot : next) position += std::exchange(slot, position);
        for (std::uint64_t i = 0; i < task.m; ++i) {
            for (std::uint64_t j = 0; j < task.n; ++j) {
                const std::int64_t b = *task.b_ij.ptr(i, j);
                const std::uint64_t k = next[static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(low)]++;
                resources.cells[k] = i * task.n + j;
                resources.b[k] = b;
            }
        }
    } else {
        struct Amount {
            std::int64_t b;
            std::uint64_t cell;
        };
        std::vector<Amount> amounts(count);
        for (std::uint64_t i = 0; i < task.m; ++i) {
            for (std::uint64_t j = 0; j < task.n; ++j) amounts[i * task.n + j] = {*task.b_ij.ptr(i, j), i * task.n + j};
        }
        std::sort(amounts.begin(), amounts.end(),
                  [](const Amount& p, const Amount& q) { return p.b < q.b || (p.b == q.b && p.cell < q.cell); });
        for (std::uint64_t k = 0; k < count; ++k) {
            resources.cells[k] = amounts[k].cell;
            resources.b[k] = amounts[k].b;
        }
    }
    // Fitting is monotone in b_ij, so the cells that fit are a prefix.
    const std::int64_t* b = resources.b.data();
    resources.fitting = static_cast<std::uint64_t>(
        std::partition_point(b, b + count, [&task](std::int64_t amount) { return fits(0, amount, task.b_total); }) - b);
    return resources;
}

void finish_fast_start(FastStart& start, const ResourceOrder& resources) {
    build_sum_tree(start.leaves, start.tree, resources.fitting);
}

namespace {

// How many steps ahead a construction fetches the leaves of its draws.
constexpr std::uint64_t draw_lookahead = 3;
constexpr std::uint64_t lookahead_leaves = std::uint64_t{1} << 17;  // 1 MiB of weights

// The prefix of the order that fits `used`, moved from `fitting` one cell at
// a time: a step moves it past the cells whose amount lies between the old
// and the new remaining budget.
std::uint64_t fitting_prefix(const ResourceOrder& resources, std::uint64_t fitting, WideInt used,
                             std::int64_t b_total) {
    const AlignedBuffer<std::int64_t>& b = resources.b;
    while (fitting > 0 && !fits(used, b[fitting - 1], b_total)) --fitting;
    while (fitting < b.size && fits(used, b[fitting], b_total)) ++fitting;
    return fitting;
}

}  // namespace

Selection construct_fast(const Task& task, const ResourceOrder& resources, const FastStart& start,
                         FastScratch& scratch, RandomGenerator& generator) {
    const std::uint64_t count = resources.cells.size();
    reset_sum_tree(start.leaves, scratch.tree, start.tree);
    std::uint64_t chosen = 0;
    WideInt used = 0;
    // Leaves that fit in a core's own cache are not worth fetching ahead.
    const bool look_ahead = count >= lookahead_leaves;

    for (;;) {
        const double sum = total(start.leaves, scratch.tree);
        if (!(sum > 0.0)) break;  // no candidate is left
        check_total_is_finite(sum);
        // One 64-bit value per step, even for a single candidate.
        const double r = unit_from_bits(generator.next_u64()) * sum;
        // A miss in the shared leaves costs more than the rest of a step:
        // the leaves that a later step will likely draw from are fetched now.
        std::uint64_t later = 0;
        if (look_ahead && generator.peek_u64(draw_lookahead - 1, later)) {
            prefetch_descent(start.leaves, scratch.tree, unit_from_bits(later) * sum, resources.b.data(),
                             sizeof(std::int64_t));
        }
        const std::uint64_t leaf = descend(start.leaves, scratch.tree, r, resources.b.data());
        take_leaf(start.leaves, scratch.tree, leaf);
        ++chosen;
        const std::int64_t b = resources.b[leaf];
        if (b == 0) continue;
        used += b;
        set_limit(start.leaves, scratch.tree, fitting_prefix(resources, scratch.tree.limit, used, task.b_total));
    }

    // The chosen cells are the taken leaves; as bits in row-major order they
    // come out sorted, which is cheaper than sorting them.
    scratch.chosen.assign((count + 63) / 64, 0);
    const std::vector<std::uint64_t>& taken = scratch.tree.taken;
    for (std::uint64_t word = 0; word < taken.size(); ++word) {
        for (std::uint64_t bits = taken[word]; bits != 0; bits &= bits - 1) {
            const std::uint64_t cell = resources.cells[word * 64 + static_cast<std::uint64_t>(std::countr_zero(bits))];
            scratch.chosen[cell / 64] |= std::uint64_t{1} << (cell % 64);
        }
    }
    Selection selection;
    selection.cells.reserve(chosen);
    for (std::uint64_t word = 0; word < scratch.chosen.size(); ++word) {
        for (std::uint64_t bits = scratch.chosen[word]; bits != 0; bits &= bits - 1) {
            selection.cells.push_back(word * 64 + static_cast<std::uint64_t>(std::countr_zero(bits)));
        }
    }
    if (visits_by_column(task.c, task.omega)) {
        // The objective adds the terms column by column here; the same order
        // gives the same rounding.
        CellList& by_column = scratch.by_column;
        by_column.clear();
        for (std::uint64_t j = 0; j < task.n; ++j) {
            for (std::uint64_t cell = j; cell < count; cell += task.n) {
                if ((scratch.chosen[cell / 64] >> (cell % 64)) & 1u) by_column.push_back(cell);
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
