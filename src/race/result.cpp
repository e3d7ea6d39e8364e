// What a race hands back: the taken cells and their value, bit-identical to
// the objective's, made only for a construction that can still win.
#include "race/result.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "kernel/pool/chunked.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "kernel/simd/taken_cells.hpp"
#include "race/quick_sum.hpp"

namespace allotra {

namespace {

// The value: the terms of the taken cells added in the objective's order,
// column by column or row by row; the sum stays in a register over each
// stretch between two looks at the stop flag. A chain of dependent additions:
// a few cycles a chosen cell.
template <typename TermOf>
double exact_value(const RaceTask& task, const std::vector<std::uint64_t>& taken, TermOf term_of) {
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
    for (std::uint64_t begin = 0; begin < task.cells; begin += stop_check_cells) {
        stop_if_requested();
        double sum = value;
        for_each_taken(taken, begin, begin + stop_check_cells, [&](std::uint64_t cell) { sum = sum + term_of(cell); });
        value = sum;
    }
    return value;
}

// The value where it is the integer sum of c over the taken cells.
double integer_value(const RaceTask& task, const std::vector<std::uint64_t>& taken) {
    std::uint64_t sum = 0;
    for (std::uint64_t begin = 0; begin < task.cells; begin += stop_check_cells) {
        stop_if_requested();
        sum += sum_taken(task.undiscounted, taken.data(), begin, std::min(begin + stop_check_cells, task.cells));
    }
    return static_cast<double>(static_cast<std::int64_t>(sum));
}

Selection kept(RaceScratch& scratch, double value) {
    Selection selection{std::exchange(scratch.taken, std::move(scratch.spare_taken)), value};
    scratch.spare_taken = {};
    return selection;
}

// `quick` makes the quick sum of the taken cells, only where there is a bar.
template <typename Quick, typename TermOf>
Selection finish(const RaceTask& task, RaceScratch& scratch, double must_beat, Quick quick, TermOf term_of) {
    if (must_beat > cannot_win && cannot_exceed(quick(), task.largest_term, must_beat)) {
        return Selection{{}, cannot_win};
    }
    return kept(scratch, exact_value(task, scratch.taken, term_of));
}

// The exact value of one selection, however its task adds its terms.
double value_of(const RaceTask& task, const std::vector<std::uint64_t>& taken) {
    if (taken.empty()) return 0.0;
    if (task.integer_sums) return integer_value(task, taken);
    if (task.undiscounted != nullptr) {
        return exact_value(task, taken,
                           [c = task.undiscounted](std::uint64_t cell) { return static_cast<double>(c[cell]); });
    }
    return exact_value(task, taken, [terms = task.terms.data()](std::uint64_t cell) { return terms[cell]; });
}

// The exact values of up to chains_at_once selections, their chains of
// additions in step over the row-major terms.
void chain_values(const RaceTask& task, Selection* selections, std::size_t count) {
    std::array<const std::uint64_t*, chains_at_once> taken{};
    std::array<double, chains_at_once> sums{};
    std::array<Selection*, chains_at_once> summed{};
    std::size_t chains = 0;
    for (std::size_t a = 0; a < count; ++a) {
        // No words: nothing taken, and the value stays 0.0.
        selections[a].value = 0.0;
        if (selections[a].taken.empty()) continue;
        taken[chains] = selections[a].taken.data();
        summed[chains++] = &selections[a];
    }
    if (chains == 0) return;
    for (std::uint64_t begin = 0; begin < task.cells; begin += stop_check_cells) {
        stop_if_requested();
        chain_sums(task.terms.data(), taken.data(), chains, begin, std::min(begin + stop_check_cells, task.cells),
                   sums.data());
    }
    for (std::size_t k = 0; k < chains; ++k) summed[k]->value = sums[k];
}

}  // namespace

bool values_together(const RaceTask& task) { return task.terms.data() != nullptr && task.cells > 0 && !task.by_column; }

Selection unvalued_selection(RaceScratch& scratch) {
    return kept(scratch, std::numeric_limits<double>::quiet_NaN());
}

void value_selections(const RaceTask& task, std::vector<Selection>& selections) {
    if (!values_together(task)) {
        run_batch(selections.size(), [&](std::uint64_t k, std::size_t) {
            selections[k].value = value_of(task, selections[k].taken);
        });
        return;
    }
    // Groups of about equal size, none of more chains than go at once; on a
    // small grid all on this thread, where handing them to the workers would
    // cost more than they do (a colony's every iteration at 100 x 100).
    const std::uint64_t groups = (selections.size() + chains_at_once - 1) / chains_at_once;
    const std::uint64_t size = groups == 0 ? 0 : (selections.size() + groups - 1) / groups;
    const auto value_group = [&](std::uint64_t group, std::size_t) {
        const std::uint64_t first = group * size;
        chain_values(task, selections.data() + first, std::min<std::uint64_t>(size, selections.size() - first));
    };
    constexpr std::uint64_t pool_cells = std::uint64_t{1} << 18;
    if (selections.size() < pool_cells / task.cells) {
        for (std::uint64_t group = 0; group < groups; ++group) value_group(group, 0);
        return;
    }
    run_batch(groups, value_group);
}

Selection finish_selection(const RaceTask& task, RaceScratch& scratch, double must_beat) {
    if (task.integer_sums) {
        const double value = integer_value(task, scratch.taken);
        // Not NaN: a value equal to the bar cannot pass it either.
        if (value <= must_beat) return Selection{{}, cannot_win};
        return kept(scratch, value);
    }
    if (task.undiscounted != nullptr) {
        const auto term_of = [c = task.undiscounted](std::uint64_t cell) { return static_cast<double>(c[cell]); };
        return finish(task, scratch, must_beat, [&] { return chained_sum(scratch.taken, term_of); }, term_of);
    }
    const double* terms = task.terms.data();
    return finish(task, scratch, must_beat, [&] { return quick_sum(terms, scratch.taken, task.cells); },
                  [terms](std::uint64_t cell) { return terms[cell]; });
}

}  // namespace allotra
