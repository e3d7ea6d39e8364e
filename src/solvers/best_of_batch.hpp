// Bookkeeping shared by both solver loops: the capacity check of a batch and
// the best-of-batch rule (strictly greater wins, the lowest index wins ties,
// a NaN never wins, and nothing below the empty selection's 0.0 is kept).
#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "kernel/error.hpp"
#include "kernel/selection.hpp"
#include "kernel/solution.hpp"
#include "model/task.hpp"

namespace allotra {

// A batch of k results must be addressable as k solutions, even when the
// solver keeps fewer of them at once.
inline void check_batch_capacity(std::uint64_t k) {
    if (k > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(Solution)) {
        fail("capacity overflow");
    }
}

// The best selection so far and the batch index that produced it.
struct BestOfBatch {
    Selection selection;
    std::uint64_t index = std::numeric_limits<std::uint64_t>::max();
};

// Whether a result (value, index) replaces `best`: results may arrive in any
// order, and the outcome equals a scan in index order with the strict rule.
inline bool beats(double value, std::uint64_t index, const BestOfBatch& best) {
    return value > best.selection.value || (value == best.selection.value && value > 0.0 && index < best.index);
}

// Writes every one of `cells` row-major cells of x, 1 where `selection`
// takes it, 0 elsewhere, in parallel chunks.
void write_selection(const Selection& selection, std::int64_t* x, std::uint64_t cells);

// The answer of a solve: the m x n 0/1 matrix of `best`, and its value.
Solution to_solution(const Task& task, const Selection& best);

}  // namespace allotra
