// The probabilistic solver: kmax independent randomised greedy constructions
// weighted by value density, of which the best is kept.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/pool/worker_pool.hpp"
#include "kernel/random/random.hpp"
#include "kernel/solution.hpp"
#include "model/task.hpp"
#include "solvers/best_of_batch.hpp"
#include "solvers/parameters.hpp"
#include "solvers/value_density.hpp"

namespace allotra {

// `interrupted` is polled while the call runs (see InterruptScope); when it
// reports true the call ends with Cancelled.
Solution solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                             const InterruptPoll& interrupted = {});
// The same best selection, as cells: for a caller that writes the matrix
// into storage of its own.
Selection best_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                             const InterruptPoll& interrupted = {});

// The solver loop over any construction with the interface of
// ProbabilisticConstruction (constructions.hpp): the module runs it with that
// one, the native tests and benchmarks with the reference form.
template <typename Construction>
Solution solve_probabilistic_with(const Task& task, const ProbabilisticParameters& parameters,
                                  const InterruptPoll& interrupted);

// A construction of the thread's own stream; one that takes a bar to beat
// may drop a selection that cannot beat it (the reference form cannot).
template <typename Construction>
Selection construct_beating(Construction& construction, std::size_t worker, double must_beat) {
    if constexpr (requires { construction.construct(thread_generator(), worker, must_beat); }) {
        return construction.construct(thread_generator(), worker, must_beat);
    } else {
        return construction.construct(thread_generator(), worker);
    }
}

template <typename Construction>
Selection best_probabilistic_with(const Task& task, const ProbabilisticParameters& parameters,
                                  const InterruptPoll& interrupted) {
    // Also stops the passes before the batch and constructions that run on
    // this thread.
    InterruptScope interrupt(interrupted);
    checked_element_count(task.m, task.n);
    check_batch_capacity(parameters.kmax);
    BestOfBatch overall;
    {
        // The construction keeps its own weights: the density goes before the
        // batch (where the construction makes it itself, it has no matrix),
        // and the construction before the answer is built.
        Construction construction = [&] {
            if constexpr (requires { Construction(task); }) {
                return Construction(task);
            } else {
                return Construction(task, value_density(task));
            }
        }();

        // Each worker keeps only its own best, so memory does not grow with kmax.
        std::vector<BestOfBatch> best(pool_size() + 1);
        run_batch(
            parameters.kmax,
            [&](std::uint64_t index, std::size_t worker) {
                // A construction wins only over its worker's best, whose index is lower.
                Selection selection = construct_beating(construction, worker, best[worker].selection.value);
                Selection dropped;
                if (beats(selection.value, index, best[worker])) {
                    dropped = std::exchange(best[worker], BestOfBatch{std::move(selection), index}).selection;
                } else {
                    dropped = std::move(selection);
                }
                if constexpr (requires { construction.recycle(std::move(dropped), worker); }) {
                    construction.recycle(std::move(dropped), worker);
                }
            });
        for (BestOfBatch& candidate : best) {
            if (beats(candidate.selection.value, candidate.index, overall)) overall = std::move(candidate);
        }
    }
    return std::move(overall.selection);
}

template <typename Construction>
Solution solve_probabilistic_with(const Task& task, const ProbabilisticParameters& parameters,
                                  const InterruptPoll& interrupted) {
    InterruptScope interrupt(interrupted);
    return to_solution(task, best_probabilistic_with<Construction>(task, parameters, interrupted));
}

}  // namespace allotra
