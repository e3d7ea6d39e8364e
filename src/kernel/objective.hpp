// The value of a 0/1 assignment: the sum over chosen cells of c * (1 - omega),
// added up in an order fixed by the memory layout of c and omega.
#pragma once

#include <cstdint>

#include "kernel/cell_list.hpp"

#include "kernel/matrix.hpp"

namespace allotra {

// `c` and `omega` must have the shape of `x`.
double objective(const IntMatrix& x, const IntMatrix& c, const FloatMatrix& omega);

// Whether objective() visits cells column by column (j outer) rather than row
// by row; the flat run over row-major data is row by row.
bool visits_by_column(const IntMatrix& c, const FloatMatrix& omega);

// The same value from the chosen cells alone, given as row-major flat indices
// (i * n + j) sorted in the visiting order of visits_by_column(): the terms
// are added in the same order, so the result is bit-identical.
double objective_of_cells(const CellList& cells_in_visiting_order, const IntMatrix& c,
                          const FloatMatrix& omega);

}  // namespace allotra
