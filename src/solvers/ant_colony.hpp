// The ant colony solver: kmax iterations of num_ants constructions weighted by
// pheromone and value density, with evaporation and deposit in between.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/pool/chunked.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "kernel/random/random.hpp"
#include "kernel/selection.hpp"
#include "kernel/solution.hpp"
#include "model/task.hpp"
#include "solvers/best_of_batch.hpp"
#include "solvers/parameters.hpp"
#include "solvers/value_density.hpp"

namespace allotra {

// `interrupted` is polled while the call runs (see InterruptScope); when it
// reports true the call ends with Cancelled.
Solution solve_ant_colony(const Task& task, const AntColonyParameters& parameters,
                          const InterruptPoll& interrupted = {});
// The same best selection, as cells.
Selection best_ant_colony(const Task& task, const AntColonyParameters& parameters,
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
// The same from the exact sum of the task's amounts and its largest c (never
// below 0), where a pass over its cells has gathered them.
double deposit_scale_of(const Task& task, WideInt amount_total, std::int64_t top_value);

// One iteration's pheromone update, in two parts so that the ants of an
// iteration can deposit a few at a time: `next` becomes tau * (1 - rho), then
// every ant, in order, adds value / scale to each of its cells of `next`.
// Matrices are row-major; an ant's bits are row-major cells. Both run on the
// worker pool in chunks of `chunk` cells, with the same result as one pass.
void evaporate_into(FloatMatrix& next, const FloatMatrix& tau, double rho, std::uint64_t chunk = default_chunk);
void deposit(FloatMatrix& next, double scale, const std::vector<Selection>& ants,
             std::uint64_t chunk = default_chunk);

// How many ants of an iteration are built at once, on a grid of `cells`:
// enough to keep every worker busy (and all of them on small grids, where a
// batch costs more than an ant), and few enough that a colony's memory does
// not grow with num_ants (each ant's bitmap is kept until it has deposited).
std::uint64_t ants_at_once(std::uint64_t num_ants, std::uint64_t cells);

// The colony's iterations, shared by solve and run. build(colony, iteration,
// ant, worker) builds one ant (with the random stream of the caller's
// choice); after every completed iteration, finished(iterations, best) is
// called on this thread and ends the loop by returning true. `best` changes
// only when an iteration completes, so a stop (an exception) leaves in it the
// best of the iterations completed, as a shorter run would have returned.
// A solve refuses an iteration of more ants than a batch can address; a run
// builds them a window at a time whatever their number, so it does not.
// `window`, when not 0, replaces ants_at_once, so that tests reach several
// windows an iteration on small grids.
enum class AntCount { checked, unbounded };

// One ant for colony_iterations, which values the ants of a window together
// where the colony can (value_ants).
template <typename Ants>
Selection build_ant(Ants& colony, RandomGenerator& generator, std::size_t worker) {
    if constexpr (requires { colony.construct_unvalued(generator, worker); }) {
        return colony.construct_unvalued(generator, worker);
    } else {
        return colony.construct(generator, worker);
    }
}

template <typename Ants, typename Build, typename Finished>
void colony_iterations(const Task& task, const AntColonyParameters& parameters, InterruptScope& interrupt,
                       Selection& best, Build&& build, Finished&& finished, AntCount count = AntCount::checked,
                       std::uint64_t window = 0) {
    // The setup passes are long on large grids: a stop is noticed between them.
    const auto check = [&] {
        if (interrupt.poll_now()) interrupt.throw_stop();
    };
    FloatMatrix tau = allocate_matrix<double>(task.m, task.n, false);
    // Ants that start in the pass over the task's cells write tau and their
    // first weights there, and gather the deposit scale's sums; the others
    // get tau filled and eta to keep its powers of (it goes once they are
    // built).
    constexpr bool start_in_one_pass = requires { Ants(task, tau, parameters); };
    double scale = 0.0;
    Ants colony = [&] {
        if constexpr (start_in_one_pass) {
            Ants started(task, tau, parameters);
            scale = started.deposit_scale(task);
            return started;
        } else {
            scale = deposit_scale(task);
            check();
            double* pheromone = tau.elements.get();
            run_in_chunks(tau.size(), [&](std::uint64_t begin, std::uint64_t end) {
                std::fill(pheromone + begin, pheromone + end, parameters.initial_pheromone);
            });
            check();
            const FloatMatrix eta = value_density(task);
            check();
            return Ants(task, tau, parameters, eta);
        }
    }();
    check();

    // Ants that read tau while they run have the update go to `next`, which
    // becomes tau once every ant of the iteration has deposited. Ants that
    // take their weights from tau before they run (the module's) have it
    // updated in place, which spares a matrix; the arithmetic is the same.
    constexpr bool in_place = requires { requires Ants::weights_taken_before_running; };
    FloatMatrix next = in_place ? FloatMatrix{} : allocate_matrix<double>(task.m, task.n, false);
    FloatMatrix& update = in_place ? tau : next;
    if (window == 0) window = ants_at_once(parameters.num_ants, tau.size());
    std::vector<Selection> ants;
    for (std::uint64_t iteration = 0; iteration < parameters.kmax; ++iteration) {
        check();
        if (count == AntCount::checked) check_batch_capacity(parameters.num_ants);
        if constexpr (in_place && requires { colony.prepare_iteration_and_evaporate(tau); }) {
            colony.prepare_iteration_and_evaporate(tau);
        } else {
            colony.prepare_iteration();
            evaporate_into(update, tau, parameters.rho);
        }
        Selection leader;  // this iteration's best, if it beats `best`
        bool leads = false;
        for (std::uint64_t first = 0; first < parameters.num_ants; first += window) {
            // The ants of the last window hand their storage to the workers
            // that build the next.
            ants.resize(std::min(window, parameters.num_ants - first));
            run_batch(ants.size(), [&](std::uint64_t index, std::size_t worker) {
                if constexpr (requires { colony.recycle(std::move(ants[index]), worker); }) {
                    colony.recycle(std::move(ants[index]), worker);
                }
                ants[index] = build(colony, iteration, first + index, worker);
            });
            if constexpr (requires { colony.value_ants(ants); }) colony.value_ants(ants);
            // Scanned in order, so strictly greater alone keeps the earliest
            // of equals. The winner is moved out once it has deposited,
            // instead of copying every improvement.
            std::size_t winner = ants.size();
            double best_value = leads ? leader.value : best.value;
            for (std::size_t a = 0; a < ants.size(); ++a) {
                if (ants[a].value > best_value) {
                    best_value = ants[a].value;
                    winner = a;
                }
            }
            // The last ants' deposit makes the next iteration's weights in
            // its pass, where the ants can.
            const bool last_window = first + window >= parameters.num_ants;
            if constexpr (in_place && requires { colony.deposit_and_prepare(tau, scale, ants); }) {
                if (last_window && iteration + 1 < parameters.kmax) {
                    colony.deposit_and_prepare(tau, scale, ants);
                } else {
                    deposit(update, scale, ants);
                }
            } else {
                deposit(update, scale, ants);
            }
            if (winner != ants.size()) {
                leader = std::move(ants[winner]);
                leads = true;
            }
        }
        // `colony` keeps a reference to the object tau, which now holds the update.
        if (!in_place) std::swap(tau, next);
        if (leads) best = std::move(leader);
        if (finished(iteration + 1, best)) return;
    }
}

template <typename Ants>
Selection best_ant_colony_with(const Task& task, const AntColonyParameters& parameters,
                               const InterruptPoll& interrupted) {
    // Also stops the per-cell passes between batches and ants that run on
    // this thread.
    InterruptScope interrupt(interrupted);
    Selection best;
    colony_iterations<Ants>(
        task, parameters, interrupt, best,
        [](Ants& colony, std::uint64_t, std::uint64_t, std::size_t worker) {
            return build_ant(colony, thread_generator(), worker);
        },
        [](std::uint64_t, const Selection&) { return false; });
    return best;
}

template <typename Ants>
Solution solve_ant_colony_with(const Task& task, const AntColonyParameters& parameters,
                               const InterruptPoll& interrupted) {
    InterruptScope interrupt(interrupted);
    return to_solution(task, best_ant_colony_with<Ants>(task, parameters, interrupted));
}

}  // namespace allotra
