// A tree of partial sums with 8 children per node, for drawing an item in
// proportion to its weight when items come and go. Eight doubles fill one
// cache line, so a draw over 10^6 items reads 7 lines instead of the 20
// levels of a binary tree.
//
// The leaf weights are shared by every construction of a batch and never
// written while it runs; what a construction changes lives in its own state:
// which leaves it has taken, how long the live prefix is, and the inner sums.
// A leaf is live when it lies below the limit and has not been taken; a dead
// leaf counts as 0. The stored nodes start at the groups of 8 leaves (about
// 1/7 of a double per leaf), so a draw reads one line of shared weights and a
// taken leaf changes one group: masking all 64 leaves of a block at every
// step cost more than the extra byte per leaf.
//
// A node's sum adds its 8 children pairwise, ((c0 + c1) + (c2 + c3)) + ((c4 +
// c5) + (c6 + c7)), like the levels of a binary tree, and is always recomputed
// from the children, never adjusted by a difference, so an infinite leaf that
// dies leaves no inf - inf = NaN behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "solvers/aligned_buffer.hpp"

namespace allotra {

inline constexpr std::uint64_t tree_fanout = 8;
inline constexpr std::uint64_t tree_block = tree_fanout * tree_fanout;  // leaves under a node of level 2 (one word of `taken`)

using AlignedDoubles = AlignedBuffer<double>;

// The shared part: the layout and the leaf weights (leaf k's weight, any
// value > 0, or 0 for an item that can never be drawn).
struct SumTreeLeaves {
    std::uint64_t count = 0;            // items; leaves are padded with zeros to whole blocks
    std::vector<std::uint64_t> level;   // level[l] = offset of level l + 1 in `inner` (level 1: the groups)
    std::vector<std::uint64_t> width;   // width[l] = nodes of level l + 1 (a multiple of 8, or 1 at the top)
    std::uint64_t inner_size = 0;       // doubles of all inner levels; the last one is the root
    AlignedDoubles weights;
};

// Lays out a tree of `count` leaves, all of weight 0, reusing the buffer.
void shape_sum_tree(SumTreeLeaves& leaves, std::uint64_t count);

// One construction's view of the tree.
struct SumTreeState {
    std::uint64_t limit = 0;          // leaves at positions >= limit are dead
    std::vector<std::uint64_t> taken; // bit k of word b: leaf 64b + k is taken
    AlignedDoubles inner;
};

// Sets the limit, nothing taken, and computes every inner sum, in parallel
// chunks of nodes (each node's sum is the same whichever worker adds it).
void build_sum_tree(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t limit);

// `state` becomes a copy of `start`, reusing its buffers.
void reset_sum_tree(const SumTreeLeaves& leaves, SumTreeState& state, const SumTreeState& start);

inline double total(const SumTreeLeaves& leaves, const SumTreeState& state) {
    return state.inner[leaves.inner_size - 1];
}

inline bool is_live(const SumTreeState& state, std::uint64_t k) {
    return k < state.limit && ((state.taken[k / tree_block] >> (k % tree_block)) & 1u) == 0;
}

// Leaf k dies for good; its ancestors are recomputed.
void take_leaf(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t k);

// Moves the limit; the ancestors of the leaves between the old and the new
// limit are recomputed.
void set_limit(const SumTreeLeaves& leaves, SumTreeState& state, std::uint64_t limit);

// The live leaf whose interval contains r, for 0 <= r < total and a positive
// finite total. Among the children of a node, the one entered is the first
// whose running sum exceeds r (the running sums are the partial sums of the
// node's pairwise sum, so they never decrease): a value on a boundary
// selects the later item, and a child whose sum is 0 is never entered. A
// value that rounding carried past the running sums goes to the last child of
// positive sum, so a draw never ends on a dead leaf or one of weight 0.
//
// `records`, when given, are the caller's records of the leaves (one per
// leaf, in leaf order), which it reads at the drawn leaf: those of the drawn
// leaf's group are fetched together with its weights, so the two waits overlap.
std::uint64_t descend_prefetching(const SumTreeLeaves& leaves, SumTreeState& state, double r,
                                  const void* records, std::size_t record_bytes);
inline std::uint64_t descend(const SumTreeLeaves& leaves, SumTreeState& state, double r) {
    return descend_prefetching(leaves, state, r, nullptr, 0);
}

template <typename Record>
std::uint64_t descend(const SumTreeLeaves& leaves, SumTreeState& state, double r, const Record* records) {
    return descend_prefetching(leaves, state, r, records, sizeof(Record));
}

// Starts fetching what a descent for r would read (the group sums of the
// block of 64 leaves it ends in, their weights, and the caller's records
// there) without waiting for it. A construction calls it with the draw of a later step on
// the tree as it is now: a few leaves taken in between rarely move the drawn
// block, so that step's misses overlap the work of the steps before it.
// Needs 0 <= r < total and a positive finite total.
void prefetch_descent(const SumTreeLeaves& leaves, const SumTreeState& state, double r, const void* records,
                      std::size_t record_bytes);

}  // namespace allotra
