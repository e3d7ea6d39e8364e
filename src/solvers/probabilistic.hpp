// The probabilistic solver: kmax independent randomised greedy constructions
// weighted by value density, of which the best is kept.
#pragma once

#include <cstdint>

#include "kernel/matrix.hpp"
#include "kernel/worker_pool.hpp"
#include "model/task.hpp"
#include "solvers/construction_form.hpp"

namespace allotra {

struct ProbabilisticParameters {
    std::uint64_t kmax = 100;
};

// `interrupted` is polled while the constructions run; when it reports true
// the call ends with Cancelled.
Solution solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                             const InterruptPoll& interrupted = {},
                             ConstructionForm form = ConstructionForm::automatic);

}  // namespace allotra
