// What a race hands back: the taken cells in row-major order and their value,
// bit-identical to the objective's.
#include "race/result.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "kernel/chunked.hpp"

namespace allotra {

namespace {

// The value: the terms of the taken cells added in the objective's order,
// column by column or along the list; the sum stays in a register over each
// stretch between two looks at the stop flag.
template <typename TermOf>
double value_of(const RaceTask& task, const std::vector<std::uint64_t>& taken, const CellList& cells,
                TermOf term_of) {
    double value = 0.0;
    if (task.by_column) {
        const std::uint64_t m = task.cells / task.n;
        for (std::uint64_t j = 0; j < task.n; ++j) {
            stop_if_requested();
            double sum = value;
            for (std::uint64_t cell = j; cell < m * task.n; cell += task.n) {
                if ((taken[cell / 64] >> (cell % 64)) & 1u) sum = sum + term_of(cell);
            }
            value = sum;
        }
        return value;
    }
    for (std::uint64_t begin = 0; begin < cells.size(); begin += stop_check_cells) {
        stop_if_requested();
        const std::uint64_t end = std::min<std::uint64_t>(cells.size(), begin + stop_check_cells);
        double sum = value;
        for (std::uint64_t k = begin; k < end; ++k) sum = sum + term_of(cells[k]);
        value = sum;
    }
    return value;
}

}  // namespace

Selection selection_of(const RaceTask& task, const std::vector<std::uint64_t>& taken, CellList&& storage) {
    Selection selection;
    selection.cells = std::move(storage);
    std::uint64_t chosen = 0;
    for (std::uint64_t word : taken) chosen += static_cast<std::uint64_t>(std::popcount(word));
    selection.cells.assign_set_bits(taken, chosen);
    if (task.undiscounted != nullptr) {
        selection.value = value_of(task, taken, selection.cells, [c = task.undiscounted](std::uint64_t cell) {
            return static_cast<double>(c[cell]);
        });
    } else {
        selection.value = value_of(task, taken, selection.cells,
                                   [terms = task.terms.data()](std::uint64_t cell) { return terms[cell]; });
    }
    return selection;
}

}  // namespace allotra
