// Weights of free positions in blocks of 16, and a binary tree of sums over
// the blocks: the sum of the weights before any position, and the position at
// which their running sum passes a given value, each in O(log n). It draws
// one free position in proportion to weight among a prefix of positions.
//
// Every sum is recomputed from its parts, never updated by subtraction, so a
// removed weight leaves nothing behind however far the weights range: a light
// cell keeps its share next to a heavy one that was removed.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "solvers/chunked.hpp"

namespace allotra {

class BlockSums {
public:
    static constexpr std::uint64_t block = 16;

    // Over positions [0, size) of `weight` (weights > 0 are drawable), with
    // storage kept by the caller between uses; a position is free when
    // is_free(position) says so.
    template <typename IsFree>
    BlockSums(std::vector<double>& sums, std::vector<std::uint16_t>& free, const double* weight, std::uint64_t size,
              IsFree is_free)
        : sums_(sums), free_(free), weight_(weight), leaves_(std::bit_ceil((size + block - 1) / block + 1)) {
        free_.assign(leaves_, 0);
        sums_.assign(2 * leaves_, 0.0);
        for (std::uint64_t b = 0; b * block < size; ++b) {
            if (b % (stop_check_cells / block) == 0) stop_if_requested();
            std::uint16_t mask = 0;
            for (std::uint64_t k = 0; k < block && b * block + k < size; ++k) {
                const std::uint64_t p = b * block + k;
                if (weight[p] > 0.0 && is_free(p)) mask |= static_cast<std::uint16_t>(1u << k);
            }
            free_[b] = mask;
            sums_[leaves_ + b] = block_sum(b, block);
        }
        for (std::uint64_t node = leaves_ - 1; node >= 1; --node) sums_[node] = sums_[2 * node] + sums_[2 * node + 1];
    }

    // The sum of the free weights at positions before `end`.
    double before(std::uint64_t end) const {
        double sum = 0.0;
        for (std::uint64_t low = leaves_, high = leaves_ + end / block; low < high; low /= 2, high /= 2) {
            if (low & 1) sum += sums_[low++];
            if (high & 1) sum += sums_[--high];
        }
        return sum + block_sum(end / block, end % block);
    }

    // The free position before `end` at which the running sum of weights
    // first passes u, for u in [0, before(end)); where rounding carries u
    // past every running sum, the last free position before `end`.
    std::uint64_t find(double u, std::uint64_t end) const {
        std::uint64_t node = 1;
        while (node < leaves_) {
            node *= 2;
            if (!(u < sums_[node])) {
                u -= sums_[node];
                ++node;
            }
        }
        const std::uint64_t b = node - leaves_;
        if (b * block < end) {
            double running = 0.0;
            for (std::uint16_t mask = free_[b]; mask != 0; mask &= static_cast<std::uint16_t>(mask - 1)) {
                const std::uint64_t p = b * block + static_cast<std::uint64_t>(std::countr_zero(mask));
                if (p >= end) break;
                running += weight_[p];
                if (running > u) return p;
            }
        }
        return last_free_before(end);
    }

    void remove(std::uint64_t p) {
        const std::uint64_t b = p / block;
        free_[b] &= static_cast<std::uint16_t>(~(1u << (p % block)));
        std::uint64_t node = leaves_ + b;
        sums_[node] = block_sum(b, block);
        for (node /= 2; node >= 1; node /= 2) sums_[node] = sums_[2 * node] + sums_[2 * node + 1];
    }

private:
    // The free weights of block b among its first `length` positions, in order.
    double block_sum(std::uint64_t b, std::uint64_t length) const {
        double sum = 0.0;
        const std::uint16_t within = static_cast<std::uint16_t>((std::uint32_t{1} << length) - 1);
        for (std::uint16_t mask = free_[b] & within; mask != 0; mask &= static_cast<std::uint16_t>(mask - 1)) {
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

    std::vector<double>& sums_;
    std::vector<std::uint16_t>& free_;
    const double* weight_;
    std::uint64_t leaves_;
};

}  // namespace allotra
