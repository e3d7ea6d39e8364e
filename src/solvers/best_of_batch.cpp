// The best selection made into the m x n matrix that a solve returns.
#include "solvers/best_of_batch.hpp"

namespace allotra {

Solution to_solution(const Task& task, const CellList& cells, double value) {
    Solution solution{zero_int_matrix(task.m, task.n), value};
    for (std::uint64_t cell : cells) solution.x.at(cell / task.n, cell % task.n) = 1;
    return solution;
}

}  // namespace allotra
