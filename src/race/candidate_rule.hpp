// Which cells a construction may draw at a step, and the one way drawing can
// fail (check_total_is_finite, from the weighted choice). Both forms of a
// construction (the module's and the reference that the tests hold it
// against) include this, so the rule is written once.
#pragma once

#include <cstdint>
#include <limits>

#include "kernel/error.hpp"
#include "kernel/wide_int.hpp"

namespace allotra {

// A free cell is a candidate when it fits the remaining budget and its weight
// is above 0 (zero, negative and NaN weights are never drawn). It fits when
// the exact sum used + b_ij is at most the budget. `used` is the exact total
// of the chosen cells (a WideInt cannot overflow), so a returned selection
// never exceeds b_total.
inline bool fits(WideInt used, std::int64_t b_ij, std::int64_t b_total) { return used + b_ij <= b_total; }

inline bool drawable(double weight) { return weight > 0.0; }

// A total weight of +infinity (an infinite weight, or a sum that overflows)
// cannot be drawn from: an internal error whose message ends with "NonFinite".
inline void check_total_is_finite(double total, SourcePlace where = SourcePlace::current()) {
    if (total == std::numeric_limits<double>::infinity()) {
        fail("the total weight of the candidates is not finite: NonFinite", where);
    }
}

}  // namespace allotra
