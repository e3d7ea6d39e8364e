// The objective evaluated the plain way, from a whole 0/1 matrix walked in
// the order the layouts of c and omega fix: the oracle of the constructions'
// bit-identical values.
#pragma once

#include "cell_list.hpp"
#include "kernel/matrix.hpp"
#include "kernel/objective.hpp"

namespace allotra {

// `c` and `omega` must have the shape of `x`.
double objective(const IntMatrix& x, const IntMatrix& c, const FloatMatrix& omega);

// The same value from the chosen cells alone, given as row-major flat indices
// (i * n + j) sorted in the visiting order of visits_by_column(): the terms
// are added in the same order, so the result is bit-identical.
double objective_of_cells(const CellList& cells_in_visiting_order, const IntMatrix& c,
                          const FloatMatrix& omega);

}  // namespace allotra
