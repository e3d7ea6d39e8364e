// What every construction of a solve shares whatever the weights: amounts,
// value terms and the cells by amount, in row-major order.
#include <algorithm>
#include <utility>

#include "kernel/objective.hpp"
#include "solvers/race.hpp"

namespace allotra {

namespace {

// to[cell] = f(element, to[cell]) for every element, in row-major cell order.
template <typename T, typename Out, typename F>
void copy_cells(const Matrix<T>& matrix, Out* to, F&& f) {
    std::uint64_t cell = 0;
    for_each_element(matrix, [&](T element) {
        to[cell] = f(element, to[cell]);
        ++cell;
    });
}

// Cells by ascending amount, equal amounts by cell index.
std::vector<std::uint64_t> cells_by_amount(const std::int64_t* amount, std::uint64_t count) {
    std::vector<std::uint64_t> order(count);
    if (count == 0) return order;
    const auto [low, high] = std::minmax_element(amount, amount + count);
    // The difference of two int64 is exact in uint64 when high >= low.
    const std::uint64_t range = static_cast<std::uint64_t>(*high) - static_cast<std::uint64_t>(*low);
    const auto offset = [low = *low](std::int64_t b) {
        return static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(low);
    };
    if (range < count) {
        // Few distinct amounts (the usual case): counting places every cell
        // in one pass, and a pass in cell order keeps equal amounts by index.
        std::vector<std::uint64_t> next(range + 1, 0);
        for (std::uint64_t cell = 0; cell < count; ++cell) ++next[offset(amount[cell])];
        std::uint64_t position = 0;
        for (std::uint64_t& slot : next) position += std::exchange(slot, position);
        for (std::uint64_t cell = 0; cell < count; ++cell) order[next[offset(amount[cell])]++] = cell;
        return order;
    }
    for (std::uint64_t cell = 0; cell < count; ++cell) order[cell] = cell;
    std::sort(order.begin(), order.end(), [amount](std::uint64_t p, std::uint64_t q) {
        return amount[p] < amount[q] || (amount[p] == amount[q] && p < q);
    });
    return order;
}

}  // namespace

RaceTask race_task(const Task& task) {
    RaceTask race;
    race.n = task.n;
    race.b_total = task.b_total;
    if (task.m == 0 || task.n == 0) return race;  // m may be huge when n is 0
    race.cells = checked_element_count(task.m, task.n);
    race.amount = aligned_buffer<std::int64_t>(race.cells);
    race.term = aligned_buffer<double>(race.cells);
    std::int64_t* amount = race.amount.data();
    double* term = race.term.data();
    // Each term as the objective computes it: c as a double, times 1 - omega.
    copy_cells(task.b_ij, amount, [](std::int64_t b, std::int64_t) { return b; });
    copy_cells(task.c, term, [](std::int64_t c, double) { return static_cast<double>(c); });
    copy_cells(task.omega, term, [](double omega, double c) { return c * (1.0 - omega); });
    race.by_amount = cells_by_amount(amount, race.cells);
    race.by_column = visits_by_column(task.c, task.omega);
    return race;
}

}  // namespace allotra
