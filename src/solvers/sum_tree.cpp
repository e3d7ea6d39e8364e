#include "solvers/sum_tree.hpp"

#include <bit>

namespace allotra {

void reset_sum_tree(SumTree& tree, std::uint64_t count) {
    tree.leaf_base = std::bit_ceil(count == 0 ? std::uint64_t{1} : count);
    tree.nodes.assign(2 * tree.leaf_base, 0.0);
}

void set_leaf(SumTree& tree, std::uint64_t k, double weight) {
    double* nodes = tree.nodes.data();
    std::uint64_t node = tree.leaf_base + k;
    nodes[node] = weight;
    for (node /= 2; node >= 1; node /= 2) nodes[node] = nodes[2 * node] + nodes[2 * node + 1];
}

void refresh(SumTree& tree, std::span<const std::uint64_t> changed_leaves) {
    const std::uint64_t depth = static_cast<std::uint64_t>(std::bit_width(tree.leaf_base)) - 1;
    if (changed_leaves.size() * depth >= tree.leaf_base) {
        rebuild(tree);
        return;
    }
    double* nodes = tree.nodes.data();
    for (std::uint64_t k : changed_leaves) {
        for (std::uint64_t node = (tree.leaf_base + k) / 2; node >= 1; node /= 2) {
            nodes[node] = nodes[2 * node] + nodes[2 * node + 1];
        }
    }
}

void rebuild(SumTree& tree) {
    double* nodes = tree.nodes.data();
    for (std::uint64_t node = tree.leaf_base - 1; node >= 1; --node) {
        nodes[node] = nodes[2 * node] + nodes[2 * node + 1];
    }
}

std::uint64_t descend(const SumTree& tree, double r) {
    const double* nodes = tree.nodes.data();
    std::uint64_t node = 1;
    while (node < tree.leaf_base) {
        const double left = nodes[2 * node];
        const double right = nodes[2 * node + 1];
        if (right > 0.0 && (r >= left || !(left > 0.0))) {
            r -= left;
            node = 2 * node + 1;
        } else {
            node = 2 * node;
        }
    }
    return node - tree.leaf_base;
}

}  // namespace allotra
