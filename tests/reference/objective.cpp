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
