#include "solvers/constructions.hpp"

#include <cmath>

#include "kernel/error.hpp"

namespace allotra {

namespace {

// The weights of all cells, row-major, whatever the matrix's layout.
std::vector<double> row_major_values(const FloatMatrix& matrix) {
    std::vector<double> values(matrix.size());
    if (values.empty()) return values;
    for (std::uint64_t i = 0; i < matrix.rows; ++i) {
        for (std::uint64_t j = 0; j < matrix.cols; ++j) values[i * matrix.cols + j] = *matrix.ptr(i, j);
    }
    return values;
}

}  // namespace

ProbabilisticConstruction::ProbabilisticConstruction(const Task& task, const FloatMatrix& density)
    : task_(task), sampler_(fast_sampler(task)) {
    if (density.rows != task.m || density.cols != task.n) fail("the weights do not have the task's shape");
    build_fast_start(sampler_.start, task, sampler_.resources, row_major_values(density));
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
    weights_.resize(task.m * task.n);
}

void AntConstruction::prepare_iteration() {
    // A cell's weight does not depend on what an ant chose before, so the
    // pow calls are made once per iteration instead of per ant and step, in
    // the reference form's order: the power of tau first.
    const double alpha = parameters_.alpha;
    const double beta = parameters_.beta;
    if (!weights_.empty()) {
        for (std::uint64_t i = 0; i < task_.m; ++i) {
            for (std::uint64_t j = 0; j < task_.n; ++j) {
                const double pheromone = std::pow(*tau_.ptr(i, j), alpha);
                weights_[i * task_.n + j] = pheromone * std::pow(*eta_.ptr(i, j), beta);
            }
        }
    }
    build_fast_start(sampler_.start, task_, sampler_.resources, weights_);
}

Selection AntConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    return construct_fast(task_, sampler_, generator, worker);
}

}  // namespace allotra
