// The constructions as the solver loops see them: one call builds one
// selection and returns its chosen cells and value, whichever form runs.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "kernel/matrix.hpp"
#include "kernel/random.hpp"
#include "model/task.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/batch_results.hpp"
#include "solvers/construction.hpp"

namespace allotra {

struct Outcome {
    CellList cells;  // row-major flat indices, ascending
    double value = 0.0;
};

// The m x n 0/1 matrix with ones at `cells`, and `value`.
Solution to_solution(const Task& task, std::span<const std::uint64_t> cells, double value);

// The chosen cells of a row-major 0/1 matrix.
CellList chosen_cells(const IntMatrix& x);

using ProbabilisticConstruction = std::function<Outcome(RandomGenerator&)>;

// The construction that draws cells in proportion to `density`, in the given
// form (automatic picks by grid size).
ProbabilisticConstruction probabilistic_construction(const Task& task, const FloatMatrix& density,
                                                     ConstructionForm form);

// The ants of one colony. The pheromone `tau` changes between iterations;
// prepare_iteration() must be called after each change and before the ants
// of the next iteration run.
struct AntColony {
    const Task& task;
    const FloatMatrix& tau;
    const AntColonyParameters& parameters;
    const FloatMatrix& eta;
    ConstructionForm form;
    FloatMatrix weights;  // the fast form's tau^alpha * eta^beta of this iteration

    void prepare_iteration();
    Outcome construct(RandomGenerator& generator) const;
};

AntColony ant_colony_construction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                                  const FloatMatrix& eta, ConstructionForm form);

}  // namespace allotra
