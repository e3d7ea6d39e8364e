// The best selection made into the m x n matrix that a solve returns.
#include "solvers/best_of_batch.hpp"

namespace allotra {

Solution to_solution(const Task& task, const Selection& best) {
    Solution solution{zero_int_matrix(task.m, task.n), best.value};
    if (task.n == 0) return solution;
    for_each_taken(best.taken, 0, task.m * task.n,
                   [&](std::uint64_t cell) { solution.x.at(cell / task.n, cell % task.n) = 1; });
    return solution;
}

}  // namespace allotra
