#include "solvers/constructions.hpp"

#include "solvers/ant_literal.hpp"
#include "solvers/probabilistic_literal.hpp"

namespace allotra {

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

namespace {

Outcome outcome_of(Solution&& solution) { return Outcome{chosen_cells(solution.x), solution.value}; }

}  // namespace

ProbabilisticConstruction probabilistic_construction(const Task& task, const FloatMatrix& density,
                                                     ConstructionForm) {
    return [&task, &density](RandomGenerator& generator) {
        return outcome_of(construct_probabilistic_literal(task, density, generator));
    };
}

AntColony ant_colony_construction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                                  const FloatMatrix& eta, ConstructionForm form) {
    return AntColony{task, tau, parameters, eta, form, FloatMatrix{}};
}

void AntColony::prepare_iteration() {}

Outcome AntColony::construct(RandomGenerator& generator) const {
    return outcome_of(construct_ant_literal(AntContext{task, tau, parameters, eta}, generator));
}

}  // namespace allotra
