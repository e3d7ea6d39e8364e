#include "solvers/ant_colony.hpp"

#include <algorithm>
#include <limits>

#include "solvers/constructions.hpp"

namespace allotra {

double deposit_scale(const Task& task) {
    if (task.m == 0 || task.n == 0) return std::numeric_limits<double>::quiet_NaN();  // 0 / 0 mean; m may be huge when n is 0
    // The sum of b_ij is exact, then rounded.
    double total = static_cast<double>(exact_sum(task.b_ij));
    double mean = total / static_cast<double>(task.m * task.n);
    double ratio = static_cast<double>(task.b_total) / mean;
    std::int64_t top = 0;
    for (std::uint64_t i = 0; i < task.m; ++i) {
        for (std::uint64_t j = 0; j < task.n; ++j) top = std::max(top, task.c.at(i, j));
    }
    const double scale = ratio * static_cast<double>(top);
    // With no positive value (top = 0) and a negative mean consumption the
    // product is -0.0, which would turn a negative deposit into +inf and make
    // the next iteration's total weight infinite. A zero scale is always +0.0:
    // a negative value then deposits -inf and its cells are not drawn again.
    return scale == 0.0 ? 0.0 : scale;
}

void evaporate_and_deposit(FloatMatrix& tau, double rho, double scale, const std::vector<Selection>& ants) {
    const double keep = 1.0 - rho;
    double* cells = tau.elements.get();
    for (std::uint64_t k = 0, count = tau.size(); k < count; ++k) cells[k] *= keep;
    for (const Selection& ant : ants) {
        const double deposit = ant.value / scale;
        for (std::uint64_t cell : ant.cells) cells[cell] += deposit;
    }
}

Solution solve_ant_colony(const Task& task, const AntColonyParameters& parameters, const InterruptPoll& interrupted) {
    return solve_ant_colony_with<AntConstruction>(task, parameters, interrupted);
}

}  // namespace allotra
