// Weights of free positions in blocks of 16, and a tree of sums over the
// blocks with 8 children a node (one cache line): the sum of the weights
// before any position, and the position at which their running sum passes a
// given value, each in a few steps of one cache line. It draws one free
// position in proportion to weight among a prefix of positions.
//
// Every sum is recomputed from its parts, never updated by subtraction, so a
// removed weight leaves nothing behind however far the weights range: a light
// cell keeps its share next to a heavy one that was removed.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "kernel/error.hpp"
#include "kernel/memory/large_storage.hpp"
#include "kernel/pool/chunked.hpp"

namespace allotra {

class BlockSums {
public:
    static constexpr std::uint64_t block = 16;
    static constexpr std::uint64_t fan = 8;

    // Over positions [0, size) of `weight` (weights > 0 are drawable), with
    // storage kept by the caller between uses; a position is free when
    // is_free(position) says so.
    template <typename IsFree>
    BlockSums(LargeVector<double>& sums, LargeVector<std::uint16_t>& free, const double* weight, std::uint64_t size,
              IsFree is_free)
        : sums_(sums), free_(free), weight_(weight) {
        // Level 0 holds a sum per block, each level above a sum per 8 nodes
        // of the one below, up to a level of at most 8 nodes; every level is
        // padded with zeros to whole groups of 8.
        const std::uint64_t blocks = size / block + 1;  // one more: `before` may look at the block at `size`
        std::uint64_t nodes = round_up(blocks);
        std::uint64_t total = 0;
        for (;;) {
            if (levels_ == max_levels) fail("too many positions for the block sums");
            offsets_[levels_++] = total;
            total += nodes;
            if (nodes <= fan) break;
            nodes = round_up(nodes / fan);
        }
        free_.assign(round_up(blocks), 0);
        sums_.assign(total, 0.0);
        for (std::uint64_t b = 0; b * block < size; ++b) {
            if (b % (stop_check_cells / block) == 0) stop_if_requested();
            std::uint32_t mask = 0;
            const std::uint64_t length = std::min(block, size - b * block);
            for (std::uint64_t k = 0; k < length; ++k) {
                const std::uint64_t p = b * block + k;
                mask |= static_cast<std::uint32_t>(weight[p] > 0.0 && is_free(p)) << k;
            }
            free_[b] = static_cast<std::uint16_t>(mask);
            sums_[b] = block_sum(b, block);
        }
        for (int level = 1; level < levels_; ++level) {
            // The padding above the last whole group below stays 0.
            for (std::uint64_t node = 0; node < level_size(level - 1) / fan; ++node) update(level, node);
        }
    }

    // The sum of the free weights at positions before `end`.
    double before(std::uint64_t end) const {
        double sum = block_sum(end / block, end % block);
        std::uint64_t node = end / block;
        for (int level = 0; level < levels_; ++level) {
            const double* row = sums_.data() + offsets_[level];
            for (std::uint64_t k = node & ~(fan - 1); k < node; ++k) sum += row[k];
            node /= fan;
        }
        return sum;
    }

    // The free position before `end` at which the running sum of weights
    // first passes u, for u in [0, before(end)); where rounding carries u
    // past every running sum, the last free position before `end`.
    std::uint64_t find(double u, std::uint64_t end) const {
        std::uint64_t node = 0;
        for (int level = levels_ - 1; level >= 0; --level) {
            const double* row = sums_.data() + offsets_[level];
            const std::uint64_t first = node * fan;
            // Where u passes every sum (rounding), the last node that has
            // nodes below it, never the padding.
            const std::uint64_t below = level == 0 ? level_size(0) : level_size(level - 1) / fan;
            const std::uint64_t last = std::min(level == levels_ - 1 ? level_size(level) : first + fan, below);
            node = last - 1;
            for (std::uint64_t k = first; k < last; ++k) {
                if (u < row[k]) {
                    node = k;
                    break;
                }
                u -= row[k];
            }
        }
        const std::uint64_t b = node;
        if (b * block < end) {
            double running = 0.0;
            for (std::uint32_t mask = free_[b]; mask != 0; mask &= mask - 1) {
                const std::uint64_t p = b * block + static_cast<std::uint64_t>(std::countr_zero(mask));
                if (p >= end) break;
                running += weight_[p];
                if (running > u) return p;
            }
        }
        return last_free_before(end);
    }

    void remove(std::uint64_t p) {
        std::uint64_t node = p / block;
        free_[node] &= static_cast<std::uint16_t>(~(1u << (p % block)));
        sums_[node] = block_sum(node, block);
        for (int level = 1; level < levels_; ++level) {
            node /= fan;
            update(level, node);
        }
    }

    // Bit k says whether position 16 b + k is free and drawable.
    std::uint16_t free_mask(std::uint64_t b) const { return free_[b]; }
    std::uint64_t blocks() const { return free_.size(); }

private:
    static std::uint64_t round_up(std::uint64_t count) { return (count + fan - 1) / fan * fan; }

    std::uint64_t level_size(int level) const {
        return (level + 1 < levels_ ? offsets_[level + 1] : sums_.size()) - offsets_[level];
    }

    // A node as the sum of its 8 children, in order.
    void update(int level, std::uint64_t node) {
        const double* children = sums_.data() + offsets_[level - 1] + node * fan;
        double sum = 0.0;
        for (std::uint64_t k = 0; k < fan; ++k) sum += children[k];
        sums_[offsets_[level] + node] = sum;
    }

    // The free weights of block b among its first `length` positions, in order.
    double block_sum(std::uint64_t b, std::uint64_t length) const {
        double sum = 0.0;
        const std::uint32_t within = (std::uint32_t{1} << length) - 1;
        for (std::uint32_t mask = free_[b] & within; mask != 0; mask &= mask - 1) {
            sum += weight_[b * block + static_cast<std::uint64_t>(std::countr_zero(mask))];
        }
        return sum;
    }

    std::uint64_t last_free_before(std::uint64_t end) const {
        for (std::uint64_t p = end; p-- > 0;) {
            if ((free_[p / block] >> (p % block)) & 1u) return p;
        }
        return 0;  // unreachable while before(end) > 0
    }

    LargeVector<double>& sums_;
    LargeVector<std::uint16_t>& free_;
    const double* weight_;
    // Where each level starts in sums_; 12 levels hold 8^12 blocks, more
    // positions than any memory holds.
    static constexpr int max_levels = 12;
    std::uint64_t offsets_[max_levels] = {};
    int levels_ = 0;
};

}  // namespace allotra
