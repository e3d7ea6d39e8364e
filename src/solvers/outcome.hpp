// What one construction hands back to its solver loop: the chosen cells and
// the value, without the m x n matrix, so that a batch costs memory in
// proportion to what was chosen.
#pragma once

#include "solvers/batch_results.hpp"

namespace allotra {

struct Outcome {
    CellList cells;  // row-major flat indices, ascending
    double value = 0.0;
};

}  // namespace allotra
