// What a race hands back: the taken cells in row-major order and their value,
// bit-identical to the objective's.
#include "race/result.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "kernel/chunked.hpp"

namespace allotra {

Selection selection_of(const RaceTask& task, const std::vector<std::uint64_t>& taken, CellList&& storage) {
    Selection selection;
    selection.cells = std::move(storage);
    std::uint64_t chosen = 0;
    for (std::uint64_t word : taken) chosen += static_cast<std::uint64_t>(std::popcount(word));
    selection.cells.assign_set_bits(taken, chosen);
    const auto term = [c = task.c, omega = task.omega](std::uint64_t i, std::uint64_t j) {
        return static_cast<double>(*c->ptr(i, j)) * (1.0 - *omega->ptr(i, j));
    };
    double value = 0.0;
    if (task.by_column) {
        const std::uint64_t m = task.cells / task.n;
        for (std::uint64_t j = 0; j < task.n; ++j) {
            stop_if_requested();
            for (std::uint64_t i = 0, cell = j; i < m; ++i, cell += task.n) {
                if ((taken[cell / 64] >> (cell % 64)) & 1u) value = value + term(i, j);
            }
        }
    } else {
        const std::int64_t* c = task.c->ptr(0, 0);
        const double* omega = task.omega->ptr(0, 0);
        const std::int64_t n = static_cast<std::int64_t>(task.n);
        const bool flat = task.c->col_stride == 1 && task.c->row_stride == n && task.omega->col_stride == 1 &&
                          task.omega->row_stride == n;
        // Row and column followed from cell to cell (the cells ascend),
        // unless both matrices are laid out as the cells are. The sum stays
        // in a register over each stretch between two looks at the stop flag.
        std::uint64_t i = 0, j = 0, at = 0;
        const CellList& cells = selection.cells;
        for (std::uint64_t begin = 0; begin < cells.size(); begin += stop_check_cells) {
            stop_if_requested();
            const std::uint64_t end = std::min<std::uint64_t>(cells.size(), begin + stop_check_cells);
            double sum = value;
            if (flat) {
                for (std::uint64_t k = begin; k < end; ++k) {
                    const std::uint64_t cell = cells[k];
                    sum = sum + static_cast<double>(c[cell]) * (1.0 - omega[cell]);
                }
            } else {
                for (std::uint64_t k = begin; k < end; ++k) {
                    const std::uint64_t cell = cells[k];
                    for (j += cell - at, at = cell; j >= task.n; j -= task.n) ++i;
                    sum = sum + term(i, j);
                }
            }
            value = sum;
        }
    }
    selection.value = value;
    return selection;
}

}  // namespace allotra
