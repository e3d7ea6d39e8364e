// The value of a 0/1 assignment: the sum over chosen cells of c * (1 - omega),
// added up in an order fixed by the memory layout of c and omega.
#pragma once

#include <cstdint>

#include "kernel/matrix.hpp"

namespace allotra {

// Whether the objective visits cells column by column (j outer) rather than
// row by row: when c and omega lean column-major, so that the sum runs along
// their memory. The flat run over row-major data is row by row.
bool visits_by_column(const IntMatrix& c, const FloatMatrix& omega);

}  // namespace allotra
