#include "objective.hpp"

#include <string>

namespace allotra {

namespace {

inline double term(std::int64_t c, double omega) {
    double d = 1.0 - omega;
    double value = static_cast<double>(c);
    return value * d;
}

void check_shape(const auto& matrix, const IntMatrix& x, const char* what) {
    if (matrix.rows != x.rows || matrix.cols != x.cols) {
        fail(std::string("objective: the ") + what + " matrix does not have the shape of the assignment");
    }
}

}  // namespace

double objective(const IntMatrix& x, const IntMatrix& c, const FloatMatrix& omega) {
    check_shape(c, x, "cost");
    check_shape(omega, x, "discount");
    const std::uint64_t m = x.rows;
    const std::uint64_t n = x.cols;
    double sum = 0.0;
    if (x.size() == 0) return sum;
    if (c.is_row_major() && omega.is_row_major() && x.is_row_major()) {
        const std::int64_t* xs = x.ptr(0, 0);
        const std::int64_t* cs = c.ptr(0, 0);
        const double* ws = omega.ptr(0, 0);
        for (std::uint64_t k = 0, count = m * n; k < count; ++k) {
            if (xs[k] == 1) sum = sum + term(cs[k], ws[k]);
        }
        return sum;
    }
    if (visits_by_column(c, omega)) {
        for (std::uint64_t j = 0; j < n; ++j) {
            for (std::uint64_t i = 0; i < m; ++i) {
                if (x.at(i, j) == 1) sum = sum + term(c.at(i, j), omega.at(i, j));
            }
        }
    } else {
        for (std::uint64_t i = 0; i < m; ++i) {
            for (std::uint64_t j = 0; j < n; ++j) {
                if (x.at(i, j) == 1) sum = sum + term(c.at(i, j), omega.at(i, j));
            }
        }
    }
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
