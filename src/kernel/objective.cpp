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

bool visits_by_column(const Task& task) {
    if (task.m < 2 || task.n < 2) return false;
    if (task.c.is_row_major() && task.omega.is_row_major()) return false;
    return 2 + layout_score(task.c) + layout_score(task.omega) < 0;
}

double objective(const IntMatrix& x, const Task& task) {
    check_shape(task.c, x, "cost");
    check_shape(task.omega, x, "discount");
    const std::uint64_t m = x.rows;
    const std::uint64_t n = x.cols;
    double sum = 0.0;
    if (x.size() == 0) return sum;
    if (task.c.is_row_major() && task.omega.is_row_major() && x.is_row_major()) {
        const std::int64_t* xs = x.ptr(0, 0);
        const std::int64_t* cs = task.c.ptr(0, 0);
        const double* ws = task.omega.ptr(0, 0);
        for (std::uint64_t k = 0, count = m * n; k < count; ++k) {
            if (xs[k] == 1) sum = sum + term(cs[k], ws[k]);
        }
        return sum;
    }
    if (visits_by_column(task)) {
        for (std::uint64_t j = 0; j < n; ++j) {
            for (std::uint64_t i = 0; i < m; ++i) {
                if (x.at(i, j) == 1) sum = sum + term(task.c.at(i, j), task.omega.at(i, j));
            }
        }
    } else {
        for (std::uint64_t i = 0; i < m; ++i) {
            for (std::uint64_t j = 0; j < n; ++j) {
                if (x.at(i, j) == 1) sum = sum + term(task.c.at(i, j), task.omega.at(i, j));
            }
        }
    }
    return sum;
}

double objective_of_cells(std::span<const std::uint64_t> cells, const Task& task) {
    double sum = 0.0;
    for (std::uint64_t cell : cells) {
        std::uint64_t i = cell / task.n;
        std::uint64_t j = cell % task.n;
        sum = sum + term(task.c.at(i, j), task.omega.at(i, j));
    }
    return sum;
}

}  // namespace allotra
