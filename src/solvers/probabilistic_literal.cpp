#include "solvers/probabilistic_literal.hpp"

#include "solvers/literal_construction.hpp"

namespace allotra {

Solution construct_probabilistic_literal(const Task& task, const FloatMatrix& density, RandomGenerator& generator) {
    return construct_literal(task, [&](std::uint64_t i, std::uint64_t j) { return density.at(i, j); }, generator);
}

}  // namespace allotra
