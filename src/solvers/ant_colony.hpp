// The ant colony solver: kmax iterations of num_ants constructions weighted by
// pheromone and value density, with evaporation and deposit in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/random.hpp"
#include "kernel/solution.hpp"
#include "kernel/worker_pool.hpp"
#include "model/task.hpp"
#include "solvers/best_of_batch.hpp"
#include "solvers/chunked.hpp"
#include "solvers/selection.hpp"
#include "solvers/value_density.hpp"

namespace allotra {

struct AntColonyParameters {
    std::uint64_t num_ants = 20;
    std::uint64_t kmax = 100;
    double alpha = 1.0;
    double beta = 2.0;
    double rho = 0.1;
    double initial_pheromone = 1.0;
};

// `interrupted` is polled while the call runs (see InterruptScope); when it
// reports true the call ends with Cancelled.
Solution solve_ant_colony(const Task& task, const AntColonyParameters& parameters,
                          const InterruptPoll& interrupted = {});

// The solver loop over any construction with the interface of AntConstruction
// (constructions.hpp): the module runs it with that one, the native tests and
// benchmarks with the reference form.
template <typename Ants>
Solution solve_ant_colony_with(const Task& task, const AntColonyParameters& parameters,
                               const InterruptPoll& interrupted);

// The number of cells of mean consumption that fit into the budget, times the
// largest value (never below 0); a zero scale is always +0.0.
double deposit_scale(const Task& task);

// One iteration's pheromone update: every entry is multiplied by 1 - rho, then
// every ant, in order, adds value / scale to each of its cells. `tau` is
// row-major; cells are row-major flat indices. Runs on the worker pool in
// chunks of `chunk` cells, with the same result as one pass.
void evaporate_and_deposit(FloatMatrix& tau, double rho, double scale, const std::vector<Selection>& ants,
                           std::uint64_t chunk = default_chunk);

template <typename Ants>
Solution solve_ant_colony_with(const Task& task, const AntColonyParameters& parameters,
                               const InterruptPoll& interrupted) {
    // Also stops the per-cell passes between batches and ants that run on
    // this thread.
    InterruptScope interrupt(interrupted);
    FloatMatrix tau = filled_float_matrix(task.m, task.n, parameters.initial_pheromone);
    const FloatMatrix eta = value_density(task);
    const double scale = deposit_scale(task);
    Ants colony(task, tau, parameters, eta);

    Selection best;
    std::vector<Selection> ants;
    for (std::uint64_t iteration = 0; iteration < parameters.kmax; ++iteration) {
        if (interrupt.poll_now()) interrupt.throw_stop();
        check_batch_capacity(parameters.num_ants);
        ants.clear();
        ants.resize(parameters.num_ants);
        colony.prepare_iteration();
        run_batch(
            parameters.num_ants,
            [&](std::uint64_t index, std::size_t worker) {
                ants[index] = colony.construct(thread_generator(), worker);
            });
        // Scanned in order, so strictly greater alone keeps the earliest of
        // equals. The winner is moved out once the deposit has read it,
        // instead of copying every improvement on the calling thread.
        double best_value = best.value;
        std::size_t winner = ants.size();
        for (std::size_t a = 0; a < ants.size(); ++a) {
            if (ants[a].value > best_value) {
                best_value = ants[a].value;
                winner = a;
            }
        }
        evaporate_and_deposit(tau, parameters.rho, scale, ants);
        if (winner != ants.size()) best = std::move(ants[winner]);
    }
    return to_solution(task, best.cells, best.value);
}

}  // namespace allotra
