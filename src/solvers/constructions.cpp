// Each solver's weights, made ready for the race: the value density once a
// solve, the ants' tau^alpha * eta^beta once an iteration.
#include "solvers/constructions.hpp"

#include <cmath>

#include "kernel/error.hpp"
#include "kernel/worker_pool.hpp"

namespace allotra {

ProbabilisticConstruction::ProbabilisticConstruction(const Task& task, const FloatMatrix& density,
                                                     const RaceLimits& limits)
    : limits_(limits), task_(race_task(task, limits)), scratch_(pool_size() + 1) {
    if (density.rows != task.m || density.cols != task.n) fail("the weights do not have the task's shape");
    const std::uint64_t n = task.n;
    prepare_race_weights(weights_, task_, limits_,
                         [&density, n](std::uint64_t cell) { return *density.ptr(cell / n, cell % n); });
}

Selection ProbabilisticConstruction::construct(RandomGenerator& generator, std::size_t worker, double must_beat) {
    return construct_race(task_, weights_, scratch_.at(worker), generator, limits_, must_beat);
}

AntConstruction::AntConstruction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                                 const FloatMatrix& eta, const RaceLimits& limits)
    : tau_(tau), parameters_(parameters), limits_(limits), task_(race_task(task, limits)),
      eta_power_(aligned_buffer<double>(task_.cells)), scratch_(pool_size() + 1) {
    if (tau.rows != task.m || tau.cols != task.n || eta.rows != task.m || eta.cols != task.n) {
        fail("the pheromone or heuristic matrix does not have the task's shape");
    }
    const double beta = parameters.beta;
    const std::uint64_t n = task.n;
    double* power = eta_power_.data();
    run_in_chunks(task_.cells, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) power[cell] = std::pow(*eta.ptr(cell / n, cell % n), beta);
    });
}

void AntConstruction::prepare_iteration() {
    // A cell's weight does not depend on what an ant chose before, so it is
    // computed once per iteration instead of per ant and step: the same
    // product pow(tau, alpha) * pow(eta, beta). pow(tau, 1) is tau itself:
    // a faithfully rounded pow returns a representable result exactly.
    const double alpha = parameters_.alpha;
    const std::uint64_t n = task_.n;
    const double* power = eta_power_.data();
    prepare_race_weights(weights_, task_, limits_, [&, n](std::uint64_t cell) {
        const double tau = *tau_.ptr(cell / n, cell % n);
        const double pheromone = alpha == 1.0 ? tau : std::pow(tau, alpha);
        return pheromone * power[cell];
    });
}

Selection AntConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    return construct_race(task_, weights_, scratch_.at(worker), generator, limits_);
}

}  // namespace allotra
