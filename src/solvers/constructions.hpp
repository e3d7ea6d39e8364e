// The constructions as the solver loops see them: one call builds one
// selection and returns its chosen cells and value, whichever form runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/random.hpp"
#include "model/task.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/batch_results.hpp"
#include "solvers/construction_form.hpp"
#include "solvers/fast_construction.hpp"
#include "solvers/outcome.hpp"

namespace allotra {

// The m x n 0/1 matrix with ones at `cells`, and `value`.
Solution to_solution(const Task& task, std::span<const std::uint64_t> cells, double value);

// The chosen cells of a row-major 0/1 matrix.
CellList chosen_cells(const IntMatrix& x);

// The form that runs: `automatic` becomes whichever form is faster for the
// task's size (see literal_form_max_cells).
ConstructionForm resolved_form(ConstructionForm form, const Task& task);

// The constructions of one probabilistic batch, all drawing cells in
// proportion to `density`. construct() may run on every worker at once;
// `worker` is the slot that run_batch passes.
struct ProbabilisticConstruction {
    const Task& task;
    const FloatMatrix& density;
    ConstructionForm form;  // literal or fast
    FastSampler fast;       // empty in the literal form

    Outcome construct(RandomGenerator& generator, std::size_t worker);
};

ProbabilisticConstruction probabilistic_construction(const Task& task, const FloatMatrix& density,
                                                     ConstructionForm form);

// The ants of one colony. The pheromone `tau` changes between iterations;
// prepare_iteration() must be called after each change and before the ants
// of the next iteration run, which may then construct on every worker at once.
struct AntColony {
    const Task& task;
    const FloatMatrix& tau;
    const AntColonyParameters& parameters;
    const FloatMatrix& eta;
    ConstructionForm form;        // literal or fast
    std::vector<double> weights;  // the fast form's tau^alpha * eta^beta of this iteration, row-major
    FastSampler fast;             // empty in the literal form

    void prepare_iteration();
    Outcome construct(RandomGenerator& generator, std::size_t worker);
};

AntColony ant_colony_construction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                                  const FloatMatrix& eta, ConstructionForm form);

}  // namespace allotra
