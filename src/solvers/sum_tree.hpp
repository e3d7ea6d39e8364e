// A complete binary tree of partial sums over weights in a fixed order: it
// draws an item in proportion to its weight and changes one weight in
// O(log n). Parents are always recomputed as left + right from their
// children, never adjusted by differences, so an infinite leaf that is set
// back to 0 leaves no inf - inf = NaN behind.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace allotra {

struct SumTree {
    std::uint64_t leaf_base = 1;  // node of leaf k is leaf_base + k; node 1 is the root
    std::vector<double> nodes;    // 2 * leaf_base entries, node 0 unused
};

// Makes `tree` a tree of `count` leaves, all 0, reusing its buffer.
void reset_sum_tree(SumTree& tree, std::uint64_t count);

inline double leaf(const SumTree& tree, std::uint64_t k) { return tree.nodes[tree.leaf_base + k]; }
inline double total(const SumTree& tree) { return tree.nodes[1]; }

// Sets leaf k and recomputes its ancestors.
void set_leaf(SumTree& tree, std::uint64_t k, double weight);

// Sets leaf k alone; its ancestors are stale until refresh() or rebuild().
inline void put_leaf(SumTree& tree, std::uint64_t k, double weight) { tree.nodes[tree.leaf_base + k] = weight; }

// Recomputes the ancestors of the given leaves, or the whole tree when that is
// cheaper.
void refresh(SumTree& tree, std::span<const std::uint64_t> changed_leaves);

// Recomputes every inner node from the leaves.
void rebuild(SumTree& tree);

// The leaf whose interval contains r, for 0 <= r < total(tree) and a positive
// finite total: walking down, r goes right when it is at or above the left
// sum (a value on a boundary selects the later item). A child whose sum is 0
// is never entered, so rounding cannot end on a leaf of weight 0.
std::uint64_t descend(const SumTree& tree, double r);

}  // namespace allotra
