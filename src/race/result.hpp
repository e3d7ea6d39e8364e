// What a race hands back: the taken cells in row-major order and their value,
// bit-identical to the objective's.
#pragma once

#include <cstdint>
#include <vector>

#include "kernel/cell_list.hpp"
#include "kernel/selection.hpp"
#include "race/task.hpp"

namespace allotra {

// The cells whose bits are set in `taken`, ascending, and their value with the
// terms added in the objective's order, each computed as the objective
// computes it (c as a double, times 1 - omega). The list is written into
// `storage`, whose capacity is reused.
Selection selection_of(const RaceTask& task, const std::vector<std::uint64_t>& taken, CellList&& storage);

}  // namespace allotra
