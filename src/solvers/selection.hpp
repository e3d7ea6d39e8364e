// What one construction hands back to its solver loop: the chosen cells and
// the value, without the m x n matrix, so that a batch costs memory in
// proportion to what was chosen.
#pragma once

#include <cstdint>
#include <vector>

namespace allotra {

// The chosen cells of one construction as row-major flat indices, ascending.
using CellList = std::vector<std::uint64_t>;

struct Selection {
    CellList cells;
    double value = 0.0;
};

}  // namespace allotra
