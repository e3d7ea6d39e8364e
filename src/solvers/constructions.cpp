#include "solvers/constructions.hpp"

#include <cmath>

#include "solvers/ant_literal.hpp"
#include "solvers/probabilistic_literal.hpp"

namespace allotra {

namespace {

// Up to this many cells automatic takes the literal form. Timed with
// benchmarks/bench_solvers from a single cell up, the fast form was never the
// slower one (at 1 x 1 the ant colony ties, both dominated by handing batches
// to the pool; from 2 x 2 the fast form is faster for both solvers), so only
// an empty grid, where neither does any work, stays literal.
constexpr std::uint64_t literal_form_max_cells = 0;

Outcome outcome_of(Solution&& solution) { return Outcome{chosen_cells(solution.x), solution.value}; }

// The weights of all cells, row-major, whatever the matrix's layout.
std::vector<double> row_major_values(const FloatMatrix& matrix) {
    std::vector<double> values(matrix.size());
    if (values.empty()) return values;
    for (std::uint64_t i = 0; i < matrix.rows; ++i) {
        for (std::uint64_t j = 0; j < matrix.cols; ++j) values[i * matrix.cols + j] = *matrix.ptr(i, j);
    }
    return values;
}

}  // namespace

Solution to_solution(const Task& task, std::span<const std::uint64_t> cells, double value) {
    Solution solution{zero_int_matrix(task.m, task.n), value};
    for (std::uint64_t cell : cells) solution.x.at(cell / task.n, cell % task.n) = 1;
    return solution;
}

CellList chosen_cells(const IntMatrix& x) {
    CellList cells;
    const std::int64_t* entries = x.elements.get();
    for (std::uint64_t k = 0, count = x.size(); k < count; ++k) {
        if (entries[k] == 1) cells.push_back(k);
    }
    return cells;
}

ConstructionForm resolved_form(ConstructionForm form, const Task& task) {
    if (form != ConstructionForm::automatic) return form;
    return task.m * task.n <= literal_form_max_cells ? ConstructionForm::literal : ConstructionForm::fast;
}

ProbabilisticConstruction probabilistic_construction(const Task& task, const FloatMatrix& density,
                                                     ConstructionForm form) {
    ProbabilisticConstruction construction{task, density, resolved_form(form, task), FastSampler{}};
    if (construction.form == ConstructionForm::fast) {
        if (density.rows != task.m || density.cols != task.n) fail("the weights do not have the task's shape");
        construction.fast = fast_sampler(task);
        build_fast_start(construction.fast.start, task, construction.fast.resources, row_major_values(density));
    }
    return construction;
}

Outcome ProbabilisticConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    if (form == ConstructionForm::literal) {
        return outcome_of(construct_probabilistic_literal(task, density, generator));
    }
    return construct_fast(task, fast, generator, worker);
}

AntColony ant_colony_construction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                                  const FloatMatrix& eta, ConstructionForm form) {
    AntColony colony{task, tau, parameters, eta, resolved_form(form, task), {}, FastSampler{}};
    if (colony.form == ConstructionForm::fast) {
        if (tau.rows != task.m || tau.cols != task.n || eta.rows != task.m || eta.cols != task.n) {
            fail("the pheromone or heuristic matrix does not have the task's shape");
        }
        colony.fast = fast_sampler(task);
        colony.weights.resize(task.m * task.n);
    }
    return colony;
}

void AntColony::prepare_iteration() {
    if (form != ConstructionForm::fast) return;
    // A cell's weight does not depend on what an ant chose before, so the
    // pow calls are made once per iteration instead of per ant and step, in
    // the literal form's order: the power of tau first.
    const double alpha = parameters.alpha;
    const double beta = parameters.beta;
    if (weights.empty()) return build_fast_start(fast.start, task, fast.resources, weights);
    for (std::uint64_t i = 0; i < task.m; ++i) {
        for (std::uint64_t j = 0; j < task.n; ++j) {
            const double pheromone = std::pow(*tau.ptr(i, j), alpha);
            weights[i * task.n + j] = pheromone * std::pow(*eta.ptr(i, j), beta);
        }
    }
    build_fast_start(fast.start, task, fast.resources, weights);
}

Outcome AntColony::construct(RandomGenerator& generator, std::size_t worker) {
    if (form == ConstructionForm::literal) {
        return outcome_of(construct_ant_literal(AntContext{task, tau, parameters, eta}, generator));
    }
    return construct_fast(task, fast, generator, worker);
}

}  // namespace allotra
