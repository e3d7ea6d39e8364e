// Both solvers' constructions in the reference form, and the solver loops run
// with them, for the native tests and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cell_list.hpp"
#include "kernel/matrix.hpp"
#include "kernel/random/random.hpp"
#include "kernel/solution.hpp"
#include "model/task.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/probabilistic.hpp"
#include "kernel/selection.hpp"

namespace allotra {

Solution construct_probabilistic_reference(const Task& task, const FloatMatrix& density,
                                           RandomGenerator& generator);

// The read-only inputs shared by all ants of one iteration.
struct AntContext {
    const Task& task;
    const FloatMatrix& tau;
    const AntColonyParameters& parameters;
    const FloatMatrix& eta;
};

// Weighs each free, fitting cell by pow(tau, alpha) * pow(eta, beta) at every step.
Solution construct_ant_reference(const AntContext& context, RandomGenerator& generator);

// The chosen cells of a row-major 0/1 matrix.
CellList chosen_cells(const IntMatrix& x);

// A copy of a matrix, in row-major layout.
FloatMatrix copy_of(const FloatMatrix& matrix);

// The reference constructions with the interface the solver loops expect.
// Like the module's, they keep what they need of the weights they are built
// with: the solver loops release those once the construction is built.
class ReferenceProbabilistic {
public:
    ReferenceProbabilistic(const Task& task, const FloatMatrix& density) : task_(task), density_(copy_of(density)) {}
    Selection construct(RandomGenerator& generator, std::size_t worker);

private:
    const Task& task_;
    const FloatMatrix density_;
};

class ReferenceAnts {
public:
    ReferenceAnts(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                  const FloatMatrix& eta)
        : eta_(copy_of(eta)), context_{task, tau, parameters, eta_} {}
    void prepare_iteration() {}
    Selection construct(RandomGenerator& generator, std::size_t worker);

private:
    const FloatMatrix eta_;
    AntContext context_;
};

Solution solve_probabilistic_reference(const Task& task, const ProbabilisticParameters& parameters,
                                       const InterruptPoll& interrupted = {});
Solution solve_ant_colony_reference(const Task& task, const AntColonyParameters& parameters,
                                    const InterruptPoll& interrupted = {});

}  // namespace allotra
