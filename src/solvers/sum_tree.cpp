#include "solvers/sum_tree.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "solvers/chunked.hpp"

namespace allotra {

void shape_sum_tree(SumTreeLeaves& leaves, std::uint64_t count) {
    leaves.count = count;
    leaves.level.clear();
    leaves.width.clear();
    const std::uint64_t blocks = std::max<std::uint64_t>(1, (count + tree_block - 1) / tree_block);
    std::uint64_t nodes = blocks * tree_fanout;  // the groups
    std::uint64_t offset = 0;
    for (;;) {
        const std::uint64_t width = nodes == 1 ? 1 : (nodes + tree_fanout - 1) / tree_fanout * tree_fanout;
        leaves.level.push_back(offset);
        leaves.width.push_back(width);
        offset += width;
        if (width == 1) break;
        nodes = width / tree_fanout;
    }
    leaves.inner_size = offset;
    const std::uint64_t slots = blocks * tree_block;
    if (leaves.weights.size != slots) {
        leaves.weights = aligned_buffer<double>(slots);
    } else {
        std::fill_n(leaves.weights.data(), slots, 0.0);
    }
}

namespace {

inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// A node's sum: its 8 children added pairwise.
inline double sum8(const double* c) { return ((c[0] + c[1]) + (c[2] + c[3])) + ((c[4] + c[5]) + (c[6] + c[7])); }

// Index of the child to enter among 8 (see descend()), and r made relative to
// it. The running sums are the prefixes of sum8's additions, so the last one
// is the node's sum, none is below the one before, and a child of sum 0 has
// the same running sum as the one before it.
inline std::uint64_t pick_child(const double* c, double& r) {
    const double a01 = c[0] + c[1];
    const double a23 = c[2] + c[3];
    const double a45 = c[4] + c[5];
    const double a67 = c[6] + c[7];
    const double p3 = a01 + a23;
    const double running[tree_fanout] = {c[0],      a01,       a01 + c[2],        p3,
                                         p3 + c[4], p3 + a45, p3 + (a45 + c[6]), p3 + (a45 + a67)};
    std::uint64_t index = 0;
    for (std::uint64_t k = 0; k < tree_fanout; ++k) index += running[k] <= r ? 1 : 0;
    if (index == tree_fanout) {
        // Rounding carried r past the node's sum: the last child of positive
        // sum, entered at its end so that its own last such child follows.
        index = tree_fanout - 1;
        while (!(c[index] > 0.0)) --index;
        r = c[index];
        return index;
    }
    if (index > 0) r -= running[index - 1];
    return index;
}

// Which of the 8 leaves of group g are live, as the low 8 bits.
inline std::uint64_t live_bits(const SumTreeState& state, std::uint64_t g) {
    const std::uint64_t first = g * tree_fanout;
    std::uint64_t below_limit = 0xFF;
    if (state.limit <= first) {
        below_limit = 0;
    } else if (state.limit - first < tree_fanout) {
        below_limit = (std::uint64_t{1} << (state.limit - first)) - 1;
    }
    return below_limit & ~(state.taken[g / tree_fanout] >> (g % tree_fanout * tree_fanout));
}

// The 8 leaves of group g as they count now (dead leaves as 0).
inline void live_group(const SumTreeLeaves& leaves, const SumTreeState& state, std::uint64_t g, double* values) {
    const std::uint64_t bits = live_bits(state, g);
    const double* weights = leaves.weights.data() + g * tree_fanout;
    // Masking the bits instead of branching: which leaves are live is as
    // unpredictable as the draws.
    for (std::uint64_t k = 0; k < tree_fanout; ++k) {
        const std::uint64_t keep = std::uint64_t{0} - ((bits >> k) & 1u);
        values[k] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(weights[k]) & keep);
    }
}

inline double group_sum(const SumTreeLeaves& leaves, const SumTreeState& state, std::uint64_t g) {
    double values[tree_fanout];
    live_group(leaves, state, g, values);
    return sum8(values);
}

// Recomputes the sums of groups [first, last] and their ancestors.
void refresh_groups(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t first, std::uint64_t last) {
    double* inner = state.inner.data();
    for (std::uint64_t g = first; g <= last; ++g) inner[g] = group_sum(leaves, state, g);
    for (std::size_t l = 1; l < leaves.level.size(); ++l) {
        first /= tree_fanout;
        last /= tree_fanout;
        const double* below = inner + leaves.level[l - 1];
        double* here = inner + leaves.level[l];
        for (std::uint64_t node = first; node <= last; ++node) here[node] = sum8(below + node * tree_fanout);
    }
}

}  // namespace

void build_sum_tree(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t limit) {
    const std::uint64_t groups = leaves.weights.size / tree_fanout;
    state.limit = limit;
    state.taken.assign(leaves.weights.size / tree_block, 0);
    if (state.inner.size != leaves.inner_size || !state.inner.storage) {
        state.inner = aligned_buffer<double>(leaves.inner_size);
    }
    double* inner = state.inner.data();
    run_in_chunks(
        groups,
        [&](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t g = begin; g < end; ++g) inner[g] = group_sum(leaves, state, g);
        },
        default_chunk / tree_fanout);
    for (std::size_t l = 1; l < leaves.level.size(); ++l) {
        const double* below = inner + leaves.level[l - 1];
        double* here = inner + leaves.level[l];
        const std::uint64_t nodes = (leaves.width[l - 1] + tree_fanout - 1) / tree_fanout;
        for (std::uint64_t node = 0; node < nodes; ++node) here[node] = sum8(below + node * tree_fanout);
    }
}

void reset_sum_tree(const SumTreeLeaves& leaves, SumTreeState& state, const SumTreeState& start) {
    (void)leaves;
    state.limit = start.limit;
    state.taken.assign(start.taken.size(), 0);
    copy_into(state.inner, start.inner);
}

void take_leaf(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t k) {
    state.taken[k / tree_block] |= std::uint64_t{1} << (k % tree_block);
    const std::uint64_t g = k / tree_fanout;
    refresh_groups(leaves, state, g, g);
}

void set_limit(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t limit) {
    if (limit == state.limit) return;
    const std::uint64_t low = std::min(limit, state.limit);
    const std::uint64_t high = std::max(limit, state.limit);
    state.limit = limit;
    refresh_groups(leaves, state, low / tree_fanout, (high - 1) / tree_fanout);
}

namespace {

// The node of `level` (0: the groups) whose leaves hold r; r becomes
// relative to it.
std::uint64_t descend_to(const SumTreeLeaves& leaves, const SumTreeState& state, double& r, std::size_t level) {
    const double* inner = state.inner.data();
    std::uint64_t node = 0;  // index within its level; the root is the only node of the top level
    for (std::size_t l = leaves.level.size() - 1; l > level; --l) {
        node = node * tree_fanout + pick_child(inner + leaves.level[l - 1] + node * tree_fanout, r);
    }
    return node;
}

void prefetch_run(const void* records, std::uint64_t first, std::uint64_t count, std::size_t record_bytes) {
    if (records == nullptr) return;
    const char* run = static_cast<const char*>(records) + first * record_bytes;
    const std::size_t bytes = count * record_bytes;
    for (std::size_t offset = 0; offset < bytes; offset += 64) prefetch(run + offset);
}

}  // namespace

void prefetch_descent(const SumTreeLeaves& leaves, const SumTreeState& state, double r, const void* records,
                      std::size_t record_bytes) {
    // Down to the groups' parent only: the worker's group sums may be out
    // of its cache too, so they are fetched with the leaves below them.
    const std::uint64_t block = descend_to(leaves, state, r, 1);
    prefetch(state.inner.data() + leaves.level[0] + block * tree_fanout);
    prefetch_run(leaves.weights.data(), block * tree_block, tree_block, sizeof(double));
    prefetch_run(records, block * tree_block, tree_block, record_bytes);
}

std::uint64_t descend_prefetching(const SumTreeLeaves& leaves, SumTreeState& state, double r,
                                  const void* records, std::size_t record_bytes) {
    const std::uint64_t g = descend_to(leaves, state, r, 0);
    // The caller reads the drawn leaf's record next: fetching the group's
    // records together with its weights overlaps the two waits.
    prefetch_run(records, g * tree_fanout, tree_fanout, record_bytes);
    double values[tree_fanout];
    live_group(leaves, state, g, values);
    return g * tree_fanout + pick_child(values, r);
}

}  // namespace allotra
