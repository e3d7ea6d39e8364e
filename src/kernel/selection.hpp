// What one construction hands back to its solver loop: the chosen cells and
// the value, without the m x n matrix, so that a batch costs memory in
// proportion to what was chosen.
#pragma once

#include "kernel/cell_list.hpp"

namespace allotra {

struct Selection {
    CellList cells;  // ascending
    double value = 0.0;
};

}  // namespace allotra
