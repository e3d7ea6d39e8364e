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
    std::uint64_t nodes = blocks;
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

// Which of the 64 leaves of block b are live.
inline std::uint64_t live_bits(const SumTreeState& state, std::uint64_t b) {
    const std::uint64_t first = b * tree_block;
    std::uint64_t below_limit = ~std::uint64_t{0};
    if (state.limit <= first) {
        below_limit = 0;
    } else if (state.limit - first < tree_block) {
        below_limit = (std::uint64_t{1} << (state.limit - first)) - 1;
    }
    return below_limit & ~state.taken[b];
}

// The 64 leaves of block b as they count now (dead leaves as 0), and the sums
// of its 8 groups.
// (only of group `only` when given).
inline void live_block(const SumTreeLeaves& leaves, const SumTreeState& state, std::uint64_t b, double* values,
                       double* group_sums, std::uint64_t only = tree_fanout) {
    const std::uint64_t live = live_bits(state, b);
    const std::uint64_t first = only == tree_fanout ? 0 : only;
    const std::uint64_t last = only == tree_fanout ? tree_fanout : only + 1;
    for (std::uint64_t g = first; g < last; ++g) {
        const double* weights = leaves.weights.data() + b * tree_block + g * tree_fanout;
        double* group = values + g * tree_fanout;
        const std::uint64_t bits = live >> (g * tree_fanout);
        // Masking the bits instead of branching: which leaves are live is as
        // unpredictable as the draws.
        for (std::uint64_t k = 0; k < tree_fanout; ++k) {
            const std::uint64_t keep = std::uint64_t{0} - ((bits >> k) & 1u);
            group[k] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(weights[k]) & keep);
        }
        group_sums[g] = sum8(group);
    }
}

inline double block_sum(const SumTreeLeaves& leaves, const SumTreeState& state, std::uint64_t b) {
    double values[tree_block];
    double group_sums[tree_fanout];
    live_block(leaves, state, b, values, group_sums);
    return sum8(group_sums);
}

// Recomputes the stored nodes of blocks [first, last] and their ancestors.
void refresh_blocks(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t first, std::uint64_t last) {
    double* inner = state.inner.data();
    for (std::uint64_t b = first; b <= last; ++b) inner[b] = block_sum(leaves, state, b);
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
    const std::uint64_t blocks = leaves.weights.size / tree_block;
    state.limit = limit;
    state.cached_block = ~std::uint64_t{0};
    state.taken.assign(blocks, 0);
    if (state.inner.size != leaves.inner_size || !state.inner.storage) state.inner = aligned_buffer<double>(leaves.inner_size);
    double* inner = state.inner.data();
    run_in_chunks(
        blocks,
        [&](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t b = begin; b < end; ++b) inner[b] = block_sum(leaves, state, b);
        },
        default_chunk / tree_block);
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
    state.cached_block = ~std::uint64_t{0};
    state.taken.assign(start.taken.size(), 0);
    copy_into(state.inner, start.inner);
}

void take_leaf(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t k) {
    const std::uint64_t b = k / tree_block;
    state.taken[b] |= std::uint64_t{1} << (k % tree_block);
    if (b != state.cached_block) {
        refresh_blocks(leaves, state, b, b);
        return;
    }
    // The same sums as refresh_blocks() gives, from the one group that changed.
    double values[tree_block];
    double group_sums[tree_fanout];
    const std::uint64_t group = k % tree_block / tree_fanout;
    live_block(leaves, state, b, values, group_sums, group);
    state.cached_groups[group] = group_sums[group];
    double* inner = state.inner.data();
    inner[b] = sum8(state.cached_groups);
    std::uint64_t node = b;
    for (std::size_t l = 1; l < leaves.level.size(); ++l) {
        node /= tree_fanout;
        inner[leaves.level[l] + node] = sum8(inner + leaves.level[l - 1] + node * tree_fanout);
    }
}

void set_limit(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t limit) {
    if (limit == state.limit) return;
    const std::uint64_t low = std::min(limit, state.limit);
    const std::uint64_t high = std::max(limit, state.limit);
    state.limit = limit;
    state.cached_block = ~std::uint64_t{0};
    refresh_blocks(leaves, state, low / tree_block, (high - 1) / tree_block);
}

namespace {

// The block (stored node of level 1) whose leaves hold r; r becomes relative to it.
std::uint64_t descend_to_block(const SumTreeLeaves& leaves, const SumTreeState& state, double& r) {
    const double* inner = state.inner.data();
    std::uint64_t node = 0;  // index within its level; the root is the only node of the top level
    for (std::size_t l = leaves.level.size() - 1; l > 0; --l) {
        node = node * tree_fanout + pick_child(inner + leaves.level[l - 1] + node * tree_fanout, r);
    }
    return node;
}

void prefetch_records(std::uint64_t block, const void* records, std::size_t record_bytes) {
    if (records == nullptr) return;
    const char* run = static_cast<const char*>(records) + block * tree_block * record_bytes;
    const std::size_t bytes = tree_block * record_bytes;
    for (std::size_t offset = 0; offset < bytes; offset += 64) prefetch(run + offset);
}

}  // namespace

void prefetch_descent(const SumTreeLeaves& leaves, const SumTreeState& state, double r, const void* records,
                      std::size_t record_bytes) {
    const std::uint64_t block = descend_to_block(leaves, state, r);
    const double* weights = leaves.weights.data() + block * tree_block;
    for (std::uint64_t group = 0; group < tree_fanout; ++group) prefetch(weights + group * tree_fanout);
    prefetch_records(block, records, record_bytes);
}

std::uint64_t descend_prefetching(const SumTreeLeaves& leaves, SumTreeState& state, double r,
                                  const void* records, std::size_t record_bytes) {
    const std::uint64_t node = descend_to_block(leaves, state, r);
    // The caller reads the drawn leaf's record next: fetching the block's
    // records together with its weights overlaps the two waits.
    prefetch_records(node, records, record_bytes);
    double values[tree_block];
    double group_sums[tree_fanout];
    live_block(leaves, state, node, values, group_sums);
    state.cached_block = node;
    std::copy_n(group_sums, tree_fanout, state.cached_groups);
    const std::uint64_t group = pick_child(group_sums, r);
    const std::uint64_t first = node * tree_block + group * tree_fanout;
    return first + pick_child(values + group * tree_fanout, r);
}

}  // namespace allotra
