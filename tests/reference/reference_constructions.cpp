#include "reference_constructions.hpp"

#include <cmath>

#include "reference_construction.hpp"

namespace allotra {

Solution construct_probabilistic_reference(const Task& task, const FloatMatrix& density,
                                           RandomGenerator& generator) {
    return construct_reference(task, [&](std::uint64_t i, std::uint64_t j) { return density.at(i, j); }, generator);
}

Solution construct_ant_reference(const AntContext& context, RandomGenerator& generator) {
    const double alpha = context.parameters.alpha;
    const double beta = context.parameters.beta;
    auto weight = [&](std::uint64_t i, std::uint64_t j) {
        const double pheromone = std::pow(context.tau.at(i, j), alpha);
        return pheromone * std::pow(context.eta.at(i, j), beta);
    };
    return construct_reference(context.task, weight, generator);
}

FloatMatrix copy_of(const FloatMatrix& matrix) {
    FloatMatrix copy = allocate_matrix<double>(matrix.rows, matrix.cols, false);
    for (std::uint64_t i = 0; i < matrix.rows; ++i) {
        for (std::uint64_t j = 0; j < matrix.cols; ++j) copy.at(i, j) = matrix.at(i, j);
    }
    return copy;
}

CellList chosen_cells(const IntMatrix& x) {
    CellList cells;
    const std::int64_t* entries = x.elements.get();
    for (std::uint64_t k = 0, count = x.size(); k < count; ++k) {
        if (entries[k] == 1) cells.push_back(k);
    }
    return cells;
}

Selection ReferenceProbabilistic::construct(RandomGenerator& generator, std::size_t) {
    Solution solution = construct_probabilistic_reference(task_, density_, generator);
    return selection_of_cells(solution.x.size(), chosen_cells(solution.x), solution.value);
}

Selection ReferenceAnts::construct(RandomGenerator& generator, std::size_t) {
    Solution solution = construct_ant_reference(context_, generator);
    return selection_of_cells(solution.x.size(), chosen_cells(solution.x), solution.value);
}

Solution solve_probabilistic_reference(const Task& task, const ProbabilisticParameters& parameters,
                                       const InterruptPoll& interrupted) {
    return solve_probabilistic_with<ReferenceProbabilistic>(task, parameters, interrupted);
}

Solution solve_ant_colony_reference(const Task& task, const AntColonyParameters& parameters,
                                    const InterruptPoll& interrupted) {
    return solve_ant_colony_with<ReferenceAnts>(task, parameters, interrupted);
}

}  // namespace allotra
