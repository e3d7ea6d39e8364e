// Each solver's weights, made ready for the race: the value density once a
// solve, the ants' tau^alpha * eta^beta once an iteration.
#include "solvers/constructions.hpp"

#include <cmath>

#include "kernel/error.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "race/result.hpp"

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
    if (task_.cells > 1 && !tau.is_row_major()) fail("the pheromone matrix is not row-major");
    const double beta = parameters.beta;
    const std::uint64_t n = task.n;
    double* power = eta_power_.data();
    run_in_chunks(task_.cells, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) power[cell] = std::pow(*eta.ptr(cell / n, cell % n), beta);
    });
}

void AntConstruction::prepare(double* evaporated) {
    // A cell's weight does not depend on what an ant chose before, so it is
    // computed once per iteration instead of per ant and step: the same
    // product pow(tau, alpha) * pow(eta, beta). pow(tau, 1) is tau itself:
    // a faithfully rounded pow returns a representable result exactly.
    const double alpha = parameters_.alpha;
    const double keep = 1.0 - parameters_.rho;
    const double* tau = tau_.elements.get();
    const double* power = eta_power_.data();
    prepare_race_weights(weights_, task_, limits_, [=](std::uint64_t cell) {
        const double pheromone = tau[cell];
        if (evaporated != nullptr) evaporated[cell] = pheromone * keep;
        return (alpha == 1.0 ? pheromone : std::pow(pheromone, alpha)) * power[cell];
    });
}

void AntConstruction::prepare_iteration() { prepare(nullptr); }

void AntConstruction::prepare_iteration_and_evaporate(FloatMatrix& tau) {
    if (&tau != &tau_) fail("the colony evaporates a pheromone matrix its ants were not given");
    prepare(tau.elements.get());
}

Selection AntConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    return construct_race(task_, weights_, scratch_.at(worker), generator, limits_);
}

Selection AntConstruction::construct_unvalued(RandomGenerator& generator, std::size_t worker) {
    if (!values_together(task_)) return construct(generator, worker);
    return construct_race_unvalued(task_, weights_, scratch_.at(worker), generator, limits_);
}

void AntConstruction::value_ants(std::vector<Selection>& ants) {
    if (values_together(task_)) value_selections(task_, ants);
}

}  // namespace allotra
