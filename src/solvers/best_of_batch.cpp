// The best selection made into the m x n matrix that a solve returns.
#include "solvers/best_of_batch.hpp"

#include "kernel/pool/chunked.hpp"
#include "kernel/pool/setup_pass.hpp"

namespace allotra {

void write_selection(const Selection& selection, std::int64_t* x, std::uint64_t cells) {
    entering_setup_pass("answer");
    const std::vector<std::uint64_t>& taken = selection.taken;
    // Chunks of whole words: every cell is written once, 0 or 1.
    run_in_chunks(cells, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) {
            if ((cell - begin) % stop_check_cells == 0) stop_if_requested();
            const std::uint64_t word = cell / 64;
            x[cell] = word < taken.size() ? static_cast<std::int64_t>((taken[word] >> (cell % 64)) & 1u) : 0;
        }
    });
}

Solution to_solution(const Task& task, const Selection& best) {
    Solution solution{allocate_matrix<std::int64_t>(task.m, task.n, false), best.value};
    if (task.m == 0 || task.n == 0) return solution;  // m may be huge when n is 0
    write_selection(best, solution.x.elements.get(), task.m * task.n);
    return solution;
}

}  // namespace allotra
