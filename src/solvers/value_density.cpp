#include "solvers/value_density.hpp"

namespace allotra {

FloatMatrix value_density(const Task& task) {
    FloatMatrix density = allocate_matrix<double>(task.m, task.n, false);
    if (density.size() == 0) return density;  // m may be huge when n is 0
    for (std::uint64_t i = 0; i < task.m; ++i) {
        for (std::uint64_t j = 0; j < task.n; ++j) {
            std::int64_t b = task.b_ij.at(i, j);
            double weight = 0.0;
            if (b != 0) {
                double discounted = 1.0 - task.omega.at(i, j);
                double value = discounted * static_cast<double>(task.c.at(i, j));
                weight = value / static_cast<double>(b);
            }
            *density.ptr(i, j) = weight;
        }
    }
    return density;
}

}  // namespace allotra
