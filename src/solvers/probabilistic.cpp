// The probabilistic solver with the module's constructions.
#include "solvers/probabilistic.hpp"

#include "solvers/constructions.hpp"

namespace allotra {

Solution solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                             const InterruptPoll& interrupted) {
    return solve_probabilistic_with<ProbabilisticConstruction>(task, parameters, interrupted);
}

Selection best_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                             const InterruptPoll& interrupted) {
    return best_probabilistic_with<ProbabilisticConstruction>(task, parameters, interrupted);
}

}  // namespace allotra
