// The ant colony solver: kmax iterations of num_ants constructions weighted by
// pheromone and value density, with evaporation and deposit in between.
#pragma once

#include <cstdint>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/worker_pool.hpp"
#include "model/task.hpp"
#include "solvers/construction_form.hpp"

namespace allotra {

struct AntColonyParameters {
    std::uint64_t num_ants = 20;
    std::uint64_t kmax = 100;
    double alpha = 1.0;
    double beta = 2.0;
    double rho = 0.1;
    double initial_pheromone = 1.0;
};

Solution solve_ant_colony(const Task& task, const AntColonyParameters& parameters,
                          const InterruptPoll& interrupted = {},
                          ConstructionForm form = ConstructionForm::automatic);

// One iteration's pheromone update: every entry is multiplied by 1 - rho, then
// every ant, in order, adds value / scale to each of its cells. `tau` is
// row-major; cells are row-major flat indices.
struct Outcome;
void evaporate_and_deposit(FloatMatrix& tau, double rho, double scale, const std::vector<Outcome>& ants);

}  // namespace allotra
