#include "solvers/constructions.hpp"

#include <cmath>

#include "kernel/error.hpp"

namespace allotra {

ProbabilisticConstruction::ProbabilisticConstruction(const Task& task, const FloatMatrix& density)
    : task_(task), sampler_(fast_sampler(task)) {
    if (density.rows != task.m || density.cols != task.n) fail("the weights do not have the task's shape");
    const std::uint64_t n = task.n;
    build_fast_start(sampler_.start, sampler_.resources,
                     [&density, n](std::uint64_t cell) { return *density.ptr(cell / n, cell % n); });
}

Selection ProbabilisticConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    return construct_fast(task_, sampler_, generator, worker);
}

AntConstruction::AntConstruction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                                 const FloatMatrix& eta)
    : task_(task), tau_(tau), parameters_(parameters), eta_(eta), sampler_(fast_sampler(task)) {
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
    build_fast_start(sampler_.start, sampler_.resources, [&, n](std::uint64_t cell) {
        const std::uint64_t i = cell / n, j = cell % n;
        const double pheromone = std::pow(*tau_.ptr(i, j), alpha);
        return pheromone * std::pow(*eta_.ptr(i, j), beta);
    });
}

Selection AntConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    return construct_fast(task_, sampler_, generator, worker);
}

}  // namespace allotra
