#include "solvers/constructions.hpp"

#include <cmath>

#include "kernel/error.hpp"
#include "kernel/worker_pool.hpp"

namespace allotra {

ProbabilisticConstruction::ProbabilisticConstruction(const Task& task, const FloatMatrix& density,
                                                     const RaceLimits& limits)
    : limits_(limits), task_(race_task(task)), scratch_(pool_size() + 1) {
    if (density.rows != task.m || density.cols != task.n) fail("the weights do not have the task's shape");
    const std::uint64_t n = task.n;
    prepare_race_weights(weights_, task_, limits_,
                         [&density, n](std::uint64_t cell) { return *density.ptr(cell / n, cell % n); });
}

Selection ProbabilisticConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    return construct_race(task_, weights_, scratch_.at(worker), generator, limits_);
}

AntConstruction::AntConstruction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                                 const FloatMatrix& eta, const RaceLimits& limits)
    : tau_(tau), parameters_(parameters), eta_(eta), limits_(limits), task_(race_task(task)),
      scratch_(pool_size() + 1) {
    if (tau.rows != task.m || tau.cols != task.n || eta.rows != task.m || eta.cols != task.n) {
        fail("the pheromone or heuristic matrix does not have the task's shape");
    }
}

void AntConstruction::prepare_iteration() {
    // A cell's weight does not depend on what an ant chose before, so the
    // pow calls are made once per iteration instead of per ant and step, in
    // the reference form's order: the power of tau first.
    const double alpha = parameters_.alpha;
    const double beta = parameters_.beta;
    const std::uint64_t n = task_.n;
    prepare_race_weights(weights_, task_, limits_, [&, n](std::uint64_t cell) {
        const std::uint64_t i = cell / n, j = cell % n;
        const double pheromone = std::pow(*tau_.ptr(i, j), alpha);
        return pheromone * std::pow(*eta_.ptr(i, j), beta);
    });
}

Selection AntConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    return construct_race(task_, weights_, scratch_.at(worker), generator, limits_);
}

}  // namespace allotra
