#include "solvers/ant_literal.hpp"

#include <cmath>

#include "solvers/literal_construction.hpp"

namespace allotra {

Solution construct_ant_literal(const AntContext& context, RandomGenerator& generator) {
    const double alpha = context.parameters.alpha;
    const double beta = context.parameters.beta;
    auto weight = [&](std::uint64_t i, std::uint64_t j) {
        double pheromone = std::pow(context.tau.at(i, j), alpha);
        return pheromone * std::pow(context.eta.at(i, j), beta);
    };
    return construct_literal(context.task, weight, generator);
}

}  // namespace allotra
