// One ant's construction in its literal form: at every step rescan all cells
// and weigh each free, fitting cell by pow(tau, alpha) * pow(eta, beta).
#pragma once

#include "kernel/matrix.hpp"
#include "kernel/random.hpp"
#include "model/task.hpp"
#include "solvers/ant_colony.hpp"

namespace allotra {

// The read-only inputs shared by all ants of one iteration.
struct AntContext {
    const Task& task;
    const FloatMatrix& tau;
    const AntColonyParameters& parameters;
    const FloatMatrix& eta;
};

Solution construct_ant_literal(const AntContext& context, RandomGenerator& generator);

}  // namespace allotra
