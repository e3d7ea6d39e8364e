// Bookkeeping shared by both solver loops: the capacity check of a batch and
// the best-of-batch rule (strictly greater wins, the lowest index wins ties,
// a NaN never wins, and nothing below the empty selection's 0.0 is kept).
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "kernel/error.hpp"

namespace allotra {

// A batch of k results of `element_size` bytes each must be addressable, even
// when the solver keeps fewer of them at once.
inline void check_batch_capacity(std::uint64_t k, std::uint64_t element_size) {
    if (k > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / element_size) {
        fail("capacity overflow");
    }
}

// The chosen cells of one construction as row-major flat indices, ascending.
using CellList = std::vector<std::uint64_t>;

struct Candidate {
    CellList cells;
    double value = 0.0;
    std::uint64_t index = std::numeric_limits<std::uint64_t>::max();
};

// Whether a result (value, index) replaces `best`: results may arrive in any
// order, and the outcome equals a scan in index order with the strict rule.
inline bool beats(double value, std::uint64_t index, const Candidate& best) {
    return value > best.value || (value == best.value && value > 0.0 && index < best.index);
}

}  // namespace allotra
