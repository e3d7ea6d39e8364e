// The budget test of both solvers' constructions.
#pragma once

#include <cstdint>

namespace allotra {

// A cell fits when the exact sum used + b_ij is at most the budget. `used` is
// the exact total of the chosen cells (128 bits: sums of up to 2^63 values of
// 64 bits cannot overflow it), so a returned selection never exceeds b_total.
inline bool fits(__int128 used, std::int64_t b_ij, std::int64_t b_total) {
    return used + b_ij <= b_total;
}

}  // namespace allotra
