// The solvers' parameters, as the constructors take them; the defaults here are
// the ones the signatures show. Read by the solver loops and the constructions.
#pragma once

#include <cstdint>

namespace allotra {

struct ProbabilisticParameters {
    std::uint64_t kmax = 100;
};

struct AntColonyParameters {
    std::uint64_t num_ants = 20;
    std::uint64_t kmax = 100;
    double alpha = 1.0;
    double beta = 2.0;
    double rho = 0.1;
    double initial_pheromone = 1.0;
};

}  // namespace allotra
