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

void check_shape(const auto& matrix, const IntMatrix& x, const char* what) {
    if (matrix.rows != x.rows || matrix.cols != x.cols) {
        fail(std::string("objective: the ") + what + " matrix does not have the shape of the assignment");
    }
}

inline double term(std::int64_t c, double omega) {
    double d = 1.0 - omega;
    double value = static_cast<double>(c);
    return value * d;
}

}  // namespace

bool visits_by_column(const IntMatrix& c, const FloatMatrix& omega) {
    if (c.rows < 2 || c.cols < 2) return false;
    if (c.is_row_major() && omega.is_row_major()) return false;
    return 2 + layout_score(c) + layout_score(omega) < 0;
}

double objective(const IntMatrix& x, const IntMatrix& c, const FloatMatrix& omega) {
    check_shape(c, x, "cost");
    check_shape(omega, x, "discount");
    double sum = 0.0;
    for_each_cell(x.rows, x.cols, visits_by_column(c, omega), [&](std::uint64_t i, std::uint64_t j) {
        if (*x.ptr(i, j) == 1) sum = sum + term(*c.ptr(i, j), *omega.ptr(i, j));
    });
    return sum;
}

double objective_of_cells(const CellList& cells, const IntMatrix& c, const FloatMatrix& omega) {
    double sum = 0.0;
    for (std::uint64_t cell : cells) {
        std::uint64_t i = cell / c.cols;
        std::uint64_t j = cell % c.cols;
        sum = sum + term(c.at(i, j), omega.at(i, j));
    }
    return sum;
}

}  // namespace allotra
