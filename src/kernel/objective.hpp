// The value of a 0/1 assignment: the sum over chosen cells of c * (1 - omega),
// added up in an order fixed by the task's memory layout.
#pragma once

#include <cstdint>
#include <span>

#include "kernel/matrix.hpp"
#include "model/task.hpp"

namespace allotra {

double objective(const IntMatrix& x, const Task& task);

// Whether objective() visits cells column by column (j outer) rather than row
// by row; the flat run over row-major data is row by row.
bool visits_by_column(const Task& task);

// The same value from the chosen cells alone, given as row-major flat indices
// (i * n + j) sorted in the visiting order of visits_by_column(): the terms
// are added in the same order, so the result is bit-identical.
double objective_of_cells(std::span<const std::uint64_t> cells_in_visiting_order, const Task& task);

}  // namespace allotra
