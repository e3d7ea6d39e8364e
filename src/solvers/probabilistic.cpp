#include "solvers/probabilistic.hpp"

#include <vector>

#include "kernel/random.hpp"
#include "solvers/batch_results.hpp"
#include "solvers/constructions.hpp"
#include "solvers/value_density.hpp"

namespace allotra {

Solution solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                             const InterruptPoll& interrupted, ConstructionForm form) {
    checked_element_count(task.m, task.n);
    check_batch_capacity(parameters.kmax, sizeof(Solution));
    const FloatMatrix density = value_density(task);
    ProbabilisticConstruction construction = probabilistic_construction(task, density, form);

    // Each worker keeps only its own best, so memory does not grow with kmax.
    std::vector<Candidate> best(pool_size() + 1);
    run_batch(
        parameters.kmax,
        [&](std::uint64_t index, std::size_t worker) {
            Outcome outcome = construction.construct(thread_generator(), worker);
            if (beats(outcome.value, index, best[worker])) {
                best[worker] = Candidate{std::move(outcome.cells), outcome.value, index};
            }
        },
        interrupted);

    Candidate overall;
    for (Candidate& candidate : best) {
        if (beats(candidate.value, candidate.index, overall)) overall = std::move(candidate);
    }
    return to_solution(task, overall.cells, overall.value);
}

}  // namespace allotra
