// What every construction of a solve shares whatever the weights: amounts
// and the cells by amount, in row-major order.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "kernel/memory/uninitialized_allocator.hpp"
#include "kernel/objective.hpp"
#include "kernel/pool/chunked.hpp"
#include "race/task.hpp"

namespace allotra {

namespace {

// to[cell] = f(element, to[cell]) for every element, in row-major cell order.
template <typename T, typename Out, typename F>
void copy_cells(const Matrix<T>& matrix, Out* to, F&& f) {
    std::uint64_t cell = 0;
    for_each_element(matrix, [&](T element) {
        if (cell % stop_check_cells == 0) stop_if_requested();
        to[cell] = f(element, to[cell]);
        ++cell;
    });
}

// A stable pass of a counting sort of `order` by digit(cell) < digits, which
// looks at the stop request as it goes: on large grids sorting the cells is
// the longest step of a solve's setup.
template <typename Order, typename Digit>
void counting_pass(Order& order, Order& spare, std::uint64_t digits, Digit digit) {
    std::vector<std::uint64_t> next(digits, 0);
    for (std::uint64_t k = 0; k < order.size(); ++k) {
        if (k % stop_check_cells == 0) stop_if_requested();
        ++next[digit(order[k])];
    }
    std::uint64_t position = 0;
    for (std::uint64_t& slot : next) position += std::exchange(slot, position);
    spare.resize(order.size());
    for (std::uint64_t k = 0; k < order.size(); ++k) {
        if (k % stop_check_cells == 0) stop_if_requested();
        spare[next[digit(order[k])]++] = order[k];
    }
    order.swap(spare);
}

// Cells by ascending amount, equal amounts by cell index, as indices of type
// Index (which holds every cell); when the amounts take few values (at most
// one for every run_cells cells), their runs too.
template <typename Index>
UninitializedVector<Index> cells_by_amount(const std::int64_t* amount, std::uint64_t count,
                                           std::vector<RaceTask::AmountRun>& runs, std::uint64_t run_cells) {
    UninitializedVector<Index> order(count);
    if (count == 0) return order;
    const auto [low, high] = std::minmax_element(amount, amount + count);
    // The difference of two int64 is exact in uint64 when high >= low.
    const std::uint64_t range = static_cast<std::uint64_t>(*high) - static_cast<std::uint64_t>(*low);
    const auto offset = [amount, low = *low](std::uint64_t cell) {
        return static_cast<std::uint64_t>(amount[cell]) - static_cast<std::uint64_t>(low);
    };
    if (range < count) {
        // Few distinct amounts (the usual case): one counting pass in cell
        // order places every cell, straight into the order.
        std::vector<std::uint64_t> next(range + 1, 0);
        for (std::uint64_t cell = 0; cell < count; ++cell) {
            if (cell % stop_check_cells == 0) stop_if_requested();
            ++next[offset(cell)];
        }
        const std::uint64_t distinct =
            static_cast<std::uint64_t>(std::count_if(next.begin(), next.end(), [](std::uint64_t n) { return n > 0; }));
        std::uint64_t position = 0;
        for (std::uint64_t value = 0; value <= range; ++value) {
            const std::uint64_t here = next[value];
            next[value] = position;
            position += here;
            if (here > 0 && distinct <= count / std::max<std::uint64_t>(run_cells, 1)) {
                runs.push_back({static_cast<std::int64_t>(static_cast<std::uint64_t>(*low) + value), position});
            }
        }
        for (std::uint64_t cell = 0; cell < count; ++cell) {
            if (cell % stop_check_cells == 0) stop_if_requested();
            order[next[offset(cell)]++] = static_cast<Index>(cell);
        }
        return order;
    }
    for (std::uint64_t cell = 0; cell < count; ++cell) order[cell] = static_cast<Index>(cell);
    UninitializedVector<Index> spare;
    // Otherwise digits of 11 bits, lowest first; every pass is stable, so
    // equal amounts stay in cell order.
    constexpr int digit_bits = 11;
    for (int shift = 0; shift < static_cast<int>(std::bit_width(range)); shift += digit_bits) {
        counting_pass(order, spare, std::uint64_t{1} << digit_bits,
                      [&](std::uint64_t cell) { return (offset(cell) >> shift) & ((1u << digit_bits) - 1); });
    }
    return order;
}

template <typename Order>
std::vector<RaceTask::AmountRun> runs_of(const std::int64_t* amount, const Order& order) {
    std::vector<RaceTask::AmountRun> runs;
    for (std::uint64_t p = 0; p < order.size(); ++p) {
        if (p % stop_check_cells == 0) stop_if_requested();
        const std::int64_t a = amount[order[p]];
        if (runs.empty() || runs.back().amount != a) runs.push_back({a, p});
        runs.back().end = p + 1;
    }
    return runs;
}

// The bands of the positive amounts of `order` (ascending, none negative):
// each closes at the first change of amount once it holds `least` cells, or
// before an amount that would take it past band_spread.
// Runs are found by bisection: amounts of few values make long runs, and
// reading every cell's amount would be a gather over the grid.
template <typename Order>
std::vector<RaceTask::AmountBand> bands_of(const std::int64_t* amount, const Order& order, std::uint64_t least) {
    const auto amount_at = [&](std::uint64_t p) { return amount[order[p]]; };
    // The first position past `from` whose amount exceeds `a`.
    const auto past = [&](std::uint64_t from, std::int64_t a) {
        std::uint64_t low = from, high = order.size();
        while (low < high) {
            const std::uint64_t middle = low + (high - low) / 2;
            if (amount_at(middle) <= a) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        return low;
    };
    std::vector<RaceTask::AmountBand> found;
    const std::uint64_t first = past(0, 0);
    for (std::uint64_t begin = first; begin < order.size();) {
        const std::uint64_t last = std::min<std::uint64_t>(begin + std::max<std::uint64_t>(least, 1), order.size()) - 1;
        const std::int64_t lowest = amount_at(begin);
        const std::int64_t widest = lowest > INT64_MAX - RaceTask::band_spread ? INT64_MAX
                                                                                 : lowest + RaceTask::band_spread;
        const std::uint64_t end = std::min(past(last, amount_at(last)), past(begin, widest));
        found.push_back({amount_at(begin), amount_at(end - 1), begin, end});
        begin = end;
    }
    return found;
}

// The largest |term| over a row-major array of terms, NaN if one is NaN.
template <typename Term>
double largest_magnitude(const Term* terms, std::uint64_t cells) {
    double largest = 0.0;
    bool nan = false;
    for (std::uint64_t cell = 0; cell < cells; ++cell) {
        if (cell % stop_check_cells == 0) stop_if_requested();
        const double term = std::fabs(static_cast<double>(terms[cell]));
        nan = nan || term != term;
        largest = std::max(largest, term);
    }
    return nan ? std::numeric_limits<double>::quiet_NaN() : largest;
}

// For terms that are c: the largest magnitude, and whether the magnitudes sum
// to at most 2^53, in one pass.
void integer_term_facts(RaceTask& race) {
    constexpr std::uint64_t limit = std::uint64_t{1} << 53;
    std::uint64_t largest = 0, sum = 0;
    for (std::uint64_t cell = 0; cell < race.cells; ++cell) {
        if (cell % stop_check_cells == 0) stop_if_requested();
        const std::int64_t value = race.undiscounted[cell];
        // The magnitude of INT64_MIN is 2^63, exact in uint64; the sum stays
        // below 2^64 as it saturates just past the limit.
        const std::uint64_t magnitude =
            value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        largest = std::max(largest, magnitude);
        sum = std::min(sum + magnitude, limit + 1);
    }
    race.largest_term = static_cast<double>(largest);
    race.integer_sums = sum <= limit;
}

// The terms of the value, or c itself where that is the term.
void value_terms(RaceTask& race, const Task& task) {
    bool discounted = false;
    for_each_element(task.omega, [&discounted](double omega) { discounted = discounted || omega != 0.0; });
    const IntMatrix& c = task.c;
    if (!discounted && c.col_stride == 1 && c.row_stride == static_cast<std::int64_t>(task.n)) {
        race.undiscounted = c.ptr(0, 0);
        integer_term_facts(race);
        return;
    }
    race.terms = aligned_buffer<double>(race.cells);
    double* terms = race.terms.data();
    copy_cells(c, terms, [](std::int64_t value, double) { return static_cast<double>(value); });
    copy_cells(task.omega, terms, [](double omega, double value) { return value * (1.0 - omega); });
    race.largest_term = largest_magnitude(terms, race.cells);
}

// The cells by amount, and the runs or the bands of their amounts.
template <typename Index>
void order_by_amount(RaceTask& race, const RaceLimits& limits) {
    const std::int64_t* amount = race.amount;
    UninitializedVector<Index> order = cells_by_amount<Index>(amount, race.cells, race.amount_runs, limits.run_cells);
    if (amount[order.front()] < 0) {
        if (race.amount_runs.empty()) race.amount_runs = runs_of(amount, order);
    } else {
        race.amount_runs.clear();
        race.amount_bands = bands_of(amount, order, limits.band_cells);
        for (const RaceTask::AmountBand& band : race.amount_bands) {
            if (band.highest == band.lowest) continue;
            race.band_offset.resize(race.cells);
            for (std::uint64_t p = band.begin; p < band.end; ++p) {
                if (p % stop_check_cells == 0) stop_if_requested();
                race.band_offset[p] = static_cast<std::uint8_t>(amount[order[p]] - band.lowest);
            }
        }
    }
    race.by_amount = CellOrder(std::move(order));
}

}  // namespace

RaceTask race_task(const Task& task, const RaceLimits& limits) {
    RaceTask race;
    race.n = task.n;
    race.b_total = task.b_total;
    if (task.m == 0 || task.n == 0) return race;  // m may be huge when n is 0
    race.cells = checked_element_count(task.m, task.n);
    const IntMatrix& b_ij = task.b_ij;
    if (b_ij.col_stride == 1 && b_ij.row_stride == static_cast<std::int64_t>(task.n)) {
        race.amount = b_ij.ptr(0, 0);
    } else {
        race.amount_copy = aligned_buffer<std::int64_t>(race.cells);
        copy_cells(b_ij, race.amount_copy.data(), [](std::int64_t b, std::int64_t) { return b; });
        race.amount = race.amount_copy.data();
    }
    value_terms(race, task);
    // Sorted straight into the narrow form where it holds every index: no
    // wide copy to narrow afterwards.
    if (race.cells <= std::min<std::uint64_t>(limits.narrow_cells, std::uint64_t{1} << 32)) {
        order_by_amount<std::uint32_t>(race, limits);
    } else {
        order_by_amount<std::uint64_t>(race, limits);
    }
    race.by_column = visits_by_column(task.c, task.omega);
    return race;
}

}  // namespace allotra
