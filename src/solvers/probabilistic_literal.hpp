// One probabilistic construction in its literal form: at every step rescan
// all cells, collect those that are free, fit the remaining budget and have a
// positive weight, and draw one in proportion to its weight.
#pragma once

#include "kernel/matrix.hpp"
#include "kernel/random.hpp"
#include "model/task.hpp"

namespace allotra {

Solution construct_probabilistic_literal(const Task& task, const FloatMatrix& density, RandomGenerator& generator);

}  // namespace allotra
