// The order in which the objective adds its terms, from the matrices' layout.
#include "kernel/objective.hpp"

namespace allotra {

namespace {

int layout_score(const auto& matrix) {
    if (matrix.is_row_major()) return 2;
    if (matrix.is_col_major()) return -2;
    if (matrix.row_stride == 1) return -1;
    if (matrix.col_stride == 1) return 1;
    return 0;
}

}  // namespace

bool visits_by_column(const IntMatrix& c, const FloatMatrix& omega) {
    if (c.rows < 2 || c.cols < 2) return false;
    if (c.is_row_major() && omega.is_row_major()) return false;
    return 2 + layout_score(c) + layout_score(omega) < 0;
}

}  // namespace allotra
