// The discounted value per unit of resource of every cell: the weights of the
// probabilistic constructions and the heuristic of the ants.
#pragma once

#include "kernel/matrix.hpp"
#include "model/task.hpp"

namespace allotra {

// ((1 - omega) * c) / b_ij for each cell, row-major; 0.0 where b_ij is 0.
FloatMatrix value_density(const Task& task);

}  // namespace allotra
