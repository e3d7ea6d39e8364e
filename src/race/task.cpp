// What every construction of a solve shares whatever the weights: amounts
// and the cells by amount, in row-major order.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "kernel/cell_reader.hpp"
#include "kernel/memory/uninitialized_allocator.hpp"
#include "kernel/objective.hpp"
#include "kernel/pool/chunked.hpp"
#include "kernel/pool/setup_pass.hpp"
#include "race/counting_sort.hpp"
#include "race/task.hpp"

namespace allotra {

namespace {

// What one chunk of the pass over the cells tells of their amounts and terms.
struct CellFacts {
    std::int64_t lowest = std::numeric_limits<std::int64_t>::max();
    std::int64_t highest = std::numeric_limits<std::int64_t>::min();
    // Terms that are doubles: the largest magnitude, and whether one is NaN.
    double largest_term = 0.0;
    bool nan = false;
    // Terms that are c: the largest magnitude, and the magnitudes' sum,
    // saturated just past 2^53.
    std::uint64_t largest_magnitude = 0;
    std::uint64_t magnitude_sum = 0;
    WideInt amount_total = 0;
    std::int64_t top_value = 0;
};

constexpr std::uint64_t exact_limit = std::uint64_t{1} << 53;

// Whether some discount is not 0 (a NaN is): the first chunk on this thread,
// where a discounted task shows it at once, the rest in parallel.
bool any_discount(const Task& task, std::uint64_t cells) {
    entering_setup_pass("discounts");
    const CellReader<double> omega(task.omega, task.n);
    const std::uint64_t first = std::min(cells, default_chunk);
    for (std::uint64_t cell = 0; cell < first; ++cell) {
        if (cell % stop_check_cells == 0) stop_if_requested();
        if (omega(cell) != 0.0) return true;
    }
    std::atomic<bool> found{false};
    run_in_chunks(cells - first, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = first + begin; cell < first + end; ++cell) {
            if ((cell - first - begin) % stop_check_cells == 0) {
                stop_if_requested();
                if (found.load(std::memory_order_relaxed)) return;
            }
            if (omega(cell) != 0.0) {
                found.store(true, std::memory_order_relaxed);
                return;
            }
        }
    });
    return found.load();
}

// One parallel pass over the cells: the amounts' copy where b_ij is not
// row-major, the terms where they are doubles, the facts of both, and the
// solver's own work on each chunk. Chunks of default_chunk cells.
CellFacts cell_pass(RaceTask& race, const Task& task, const CellPass& also) {
    entering_setup_pass("terms");
    const CellReader<std::int64_t> b(task.b_ij, task.n), c(task.c, task.n);
    const CellReader<double> omega(task.omega, task.n);
    std::int64_t* amount_copy = race.amount_copy.data();
    double* terms = race.terms.data();
    std::vector<CellFacts> chunks((race.cells + default_chunk - 1) / default_chunk);
    run_in_chunks(race.cells, [&](std::uint64_t begin, std::uint64_t end) {
        CellFacts facts;
        for (std::uint64_t cell = begin; cell < end; ++cell) {
            if ((cell - begin) % stop_check_cells == 0) stop_if_requested();
            if (amount_copy != nullptr) amount_copy[cell] = b(cell);
            const std::int64_t amount = race.amount[cell];
            facts.lowest = std::min(facts.lowest, amount);
            facts.highest = std::max(facts.highest, amount);
            facts.amount_total += amount;
            const std::int64_t value = c(cell);
            facts.top_value = std::max(facts.top_value, value);
            if (terms != nullptr) {
                // c * (1 - omega), as the objective computes it.
                const double term = static_cast<double>(value) * (1.0 - omega(cell));
                terms[cell] = term;
                const double magnitude = std::fabs(term);
                facts.nan = facts.nan || magnitude != magnitude;
                facts.largest_term = std::max(facts.largest_term, magnitude);
            } else {
                // The magnitude of INT64_MIN is 2^63, exact in uint64; the sum
                // stays below 2^64 as it saturates just past the limit.
                const std::uint64_t magnitude = value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                                          : static_cast<std::uint64_t>(value);
                facts.largest_magnitude = std::max(facts.largest_magnitude, magnitude);
                facts.magnitude_sum = std::min(facts.magnitude_sum + magnitude, exact_limit + 1);
            }
        }
        if (also) also(race, begin, end);
        chunks[begin / default_chunk] = facts;
    });
    CellFacts all;
    for (const CellFacts& facts : chunks) {
        all.lowest = std::min(all.lowest, facts.lowest);
        all.highest = std::max(all.highest, facts.highest);
        all.nan = all.nan || facts.nan;
        all.largest_term = std::max(all.largest_term, facts.largest_term);
        all.largest_magnitude = std::max(all.largest_magnitude, facts.largest_magnitude);
        all.magnitude_sum = std::min(all.magnitude_sum + facts.magnitude_sum, exact_limit + 1);
        all.amount_total = wide_sum(all.amount_total, facts.amount_total);
        all.top_value = std::max(all.top_value, facts.top_value);
    }
    return all;
}

// Cells by ascending amount, equal amounts by cell index, as indices of type
// Index (which holds every cell); when the amounts take few values (at most
// one for every run_cells cells), their runs too.
template <typename Index>
UninitializedVector<Index> cells_by_amount(const std::int64_t* amount, std::uint64_t count, std::int64_t low,
                                           std::int64_t high, std::vector<RaceTask::AmountRun>& runs,
                                           const RaceLimits& limits) {
    UninitializedVector<Index> order(count);
    if (count == 0) return order;
    // The difference of two int64 is exact in uint64 when high >= low.
    const std::uint64_t range = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    const auto offset = [amount, low](std::uint64_t cell) {
        return static_cast<std::uint64_t>(amount[cell]) - static_cast<std::uint64_t>(low);
    };
    const auto cell_itself = [](std::uint64_t cell) { return static_cast<Index>(cell); };
    std::vector<std::uint64_t> totals;
    if (range < count) {
        // Few distinct amounts (the usual case): one counting sort in cell
        // order places every cell, straight into the order.
        stable_counting_sort(count, range + 1, cell_itself, offset, order.data(),
                             sort_pieces(count, range + 1, limits), totals);
        const std::uint64_t distinct = static_cast<std::uint64_t>(
            std::count_if(totals.begin(), totals.end(), [](std::uint64_t n) { return n > 0; }));
        if (distinct > count / std::max<std::uint64_t>(limits.run_cells, 1)) return order;
        std::uint64_t position = 0;
        for (std::uint64_t value = 0; value <= range; ++value) {
            if (value % stop_check_cells == 0) stop_if_requested();
            if (totals[value] == 0) continue;
            position += totals[value];
            runs.push_back({static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + value), position});
        }
        return order;
    }
    // Otherwise digits of 11 bits, lowest first; every pass is stable, so
    // equal amounts stay in cell order. The first pass reads the cells
    // themselves.
    constexpr int digit_bits = 11;
    constexpr std::uint64_t digits = std::uint64_t{1} << digit_bits;
    UninitializedVector<Index> spare(count);
    const std::uint64_t pieces = sort_pieces(count, digits, limits);
    bool first = true;
    for (int shift = 0; shift < static_cast<int>(std::bit_width(range)); shift += digit_bits) {
        const auto digit_of = [&](std::uint64_t cell) { return (offset(cell) >> shift) & (digits - 1); };
        if (first) {
            stable_counting_sort(count, digits, cell_itself, digit_of, order.data(), pieces, totals);
            first = false;
            continue;
        }
        const Index* from = order.data();
        stable_counting_sort(
            count, digits, [from](std::uint64_t k) { return from[k]; },
            [&](std::uint64_t k) { return digit_of(from[k]); }, spare.data(), pieces, totals);
        order.swap(spare);
    }
    return order;
}

template <typename Order>
std::vector<RaceTask::AmountRun> runs_of(const std::int64_t* amount, const Order& order) {
    entering_setup_pass("runs");
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

// Each position's amount less its band's least, where some band has more
// than one amount; 0 before the first band (amounts of 0), in parallel.
template <typename Order>
void band_offsets(RaceTask& race, const Order& order) {
    const std::vector<RaceTask::AmountBand>& bands = race.amount_bands;
    if (std::none_of(bands.begin(), bands.end(), [](const auto& band) { return band.highest != band.lowest; })) {
        return;
    }
    entering_setup_pass("band offsets");
    race.band_offset.resize(race.cells);
    std::uint8_t* offset = race.band_offset.data();
    const std::int64_t* amount = race.amount;
    run_in_chunks(race.cells, [&](std::uint64_t begin, std::uint64_t end) {
        // The band of `begin`: the first whose end lies past it.
        auto band = std::upper_bound(bands.begin(), bands.end(), begin,
                                     [](std::uint64_t p, const RaceTask::AmountBand& b) { return p < b.end; });
        for (std::uint64_t p = begin; p < end; ++p) {
            if ((p - begin) % stop_check_cells == 0) stop_if_requested();
            while (band != bands.end() && p >= band->end) ++band;
            const bool in_band = band != bands.end() && p >= band->begin;
            offset[p] = in_band ? static_cast<std::uint8_t>(amount[order[p]] - band->lowest) : 0;
        }
    });
}

// The cells by amount, and the runs or the bands of their amounts.
template <typename Index>
void order_by_amount(RaceTask& race, const RaceLimits& limits, std::int64_t low, std::int64_t high) {
    const std::int64_t* amount = race.amount;
    UninitializedVector<Index> order = cells_by_amount<Index>(amount, race.cells, low, high, race.amount_runs, limits);
    if (low < 0) {
        if (race.amount_runs.empty()) race.amount_runs = runs_of(amount, order);
    } else {
        race.amount_runs.clear();
        race.amount_bands = bands_of(amount, order, limits.band_cells);
        band_offsets(race, order);
    }
    race.by_amount = CellOrder(std::move(order));
}

}  // namespace

RaceTask race_task(const Task& task, const RaceLimits& limits, const CellPass& also) {
    RaceTask race;
    race.n = task.n;
    race.b_total = task.b_total;
    if (task.m == 0 || task.n == 0) return race;  // m may be huge when n is 0
    race.cells = checked_element_count(task.m, task.n);
    if (task.b_ij.is_row_major()) {
        race.amount = task.b_ij.ptr(0, 0);
    } else {
        race.amount_copy = unwritten_buffer<std::int64_t>(race.cells);
        race.amount = race.amount_copy.data();
    }
    // The terms are c itself where no cell has a discount and c is row-major.
    if (!task.c.is_row_major() || any_discount(task, race.cells)) {
        race.terms = unwritten_buffer<double>(race.cells);
    } else {
        race.undiscounted = task.c.ptr(0, 0);
    }
    const CellFacts facts = cell_pass(race, task, also);
    race.amount_total = facts.amount_total;
    race.top_value = facts.top_value;
    if (race.undiscounted != nullptr) {
        race.largest_term = static_cast<double>(facts.largest_magnitude);
        race.integer_sums = facts.magnitude_sum <= exact_limit;
    } else {
        race.largest_term = facts.nan ? std::numeric_limits<double>::quiet_NaN() : facts.largest_term;
    }
    // Sorted straight into the narrow form where it holds every index: no
    // wide copy to narrow afterwards.
    if (race.cells <= std::min<std::uint64_t>(limits.narrow_cells, std::uint64_t{1} << 32)) {
        order_by_amount<std::uint32_t>(race, limits, facts.lowest, facts.highest);
    } else {
        order_by_amount<std::uint64_t>(race, limits, facts.lowest, facts.highest);
    }
    race.by_column = visits_by_column(task.c, task.omega);
    return race;
}

}  // namespace allotra
