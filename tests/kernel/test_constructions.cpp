// The module's constructions and the reference form against the exact law of
// sequential weighted sampling on tiny grids, the internal error for an
// infinite candidate total, the bit-identical value and the pheromone update.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cell_list.hpp"
#include "construction_forms.hpp"
#include "harness.hpp"
#include "weighted_choice.hpp"
#include "kernel/error.hpp"
#include "kernel/matrix.hpp"
#include "objective.hpp"
#include "kernel/random/random.hpp"
#include "model/task.hpp"
#include "reference_constructions.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/best_of_batch.hpp"
#include "solvers/constructions.hpp"

namespace {

using namespace allotra::construction_tests;
using allotra::AntColonyParameters;
using allotra::FloatMatrix;
using allotra::IntMatrix;
using allotra::Selection;
using allotra::Task;

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();

// selection (bit k = cell k) -> probability
using Law = std::map<std::uint64_t, double>;

// The exact law of the final selection when, at every step, one cell is drawn
// among the free cells that fit and weigh more than 0, in proportion to weight.
void add_exact_law(const std::vector<double>& w, const std::vector<std::int64_t>& b, std::int64_t b_total,
                   std::uint64_t mask, allotra::WideInt used, double probability, Law& law) {
    std::vector<std::size_t> candidates;
    double total = 0.0;
    for (std::size_t k = 0; k < w.size(); ++k) {
        if ((mask >> k) & 1) continue;
        if (used + b[k] > b_total) continue;
        if (!(w[k] > 0.0)) continue;
        candidates.push_back(k);
        total += w[k];
    }
    if (candidates.empty()) {
        law[mask] += probability;
        return;
    }
    for (std::size_t k : candidates) {
        add_exact_law(w, b, b_total, mask | (std::uint64_t{1} << k), used + b[k], probability * w[k] / total, law);
    }
}

Law exact_law(const std::vector<double>& w, const std::vector<std::int64_t>& b, std::int64_t b_total) {
    Law law;
    add_exact_law(w, b, b_total, 0, 0, 1.0, law);
    return law;
}

constexpr int draws = 100000;

// Every selection's count lies within 6 standard deviations of its expected
// count (a false alarm has odds below 1e-8 per selection), and a selection of
// probability 0 never occurs.
void check_law(const Construct& construct, const Law& law, const char* what) {
    std::map<std::uint64_t, int> counts;
    for (int d = 0; d < draws; ++d) {
        ++counts[mask_of(construct())];
    }
    std::map<std::uint64_t, bool> seen;
    for (const auto& [mask, p] : law) seen[mask] = true;
    for (const auto& [mask, count] : counts) seen[mask] = true;
    for (const auto& [mask, unused] : seen) {
        (void)unused;
        const double p = law.count(mask) ? law.at(mask) : 0.0;
        const int count = counts.count(mask) ? counts.at(mask) : 0;
        const double expected = p * draws;
        const double tolerance = 6.0 * std::sqrt(draws * p * (1.0 - p)) + 1.0;
        const bool ok = p == 0.0 ? count == 0 : std::fabs(count - expected) <= tolerance;
        if (!ok) {
            std::printf("  %s: selection %llx drawn %d times, expected %.1f +- %.1f\n", what,
                        static_cast<unsigned long long>(mask), count, expected, tolerance);
        }
        CHECK(ok);
    }
}

// Both forms of the probabilistic construction with `weights` as the density.
void check_probabilistic_law(const std::vector<double>& weights, const std::vector<std::int64_t>& b,
                             std::int64_t b_total) {
    const Task task = task_of(1, weights.size(), b, b_total);
    const FloatMatrix density = matrix_of(1, weights.size(), weights, false);
    const Law law = exact_law(weights, b, b_total);
    for (Form form : every_form) check_law(probabilistic_in(form, task, density), law, name_of(form));
}

}  // namespace

TEST(construct_law_of_plain_weights) {
    // Any two of three cells, the heavier one more often.
    check_probabilistic_law({1.0, 1.0, 2.0}, {1, 1, 1}, 2);
    check_probabilistic_law({0.3, 1.7, 2.5, 0.9, 1.1}, {2, 1, 3, 1, 2}, 5);
}

TEST(construct_law_skips_zero_negative_and_nan_weights) {
    const std::vector<double> weights{1.0, 0.0, -2.0, not_a_number, 3.0};
    check_probabilistic_law(weights, {1, 1, 1, 1, 1}, 10);
    check_probabilistic_law(weights, {1, 1, 1, 1, 1}, 1);
    check_probabilistic_law({-0.0, 2.0, -infinity, 1.0}, {1, 1, 1, 1}, 1);
}

TEST(construct_law_with_exactly_the_remaining_budget) {
    // Cell 2 alone uses the whole budget; cells 0 and 1 together do too.
    check_probabilistic_law({1.0, 1.0, 1.0}, {2, 3, 5}, 5);
    check_probabilistic_law({1.0, 2.0, 3.0, 0.5}, {3, 2, 2, 6}, 5);
}

TEST(construct_law_with_negative_resource) {
    // Cell 3 fits only after cell 1 has given budget back; cell 1 can also
    // make cells fit again that had been dropped.
    check_probabilistic_law({1.0, 2.0, 1.5, 3.0, 0.5}, {3, -2, 2, 4, 1}, 3);
    check_probabilistic_law({1.0, 0.5, 1.0, 2.0}, {4, -4, 3, 5}, 4);
}

TEST(construct_law_with_huge_resource) {
    // Two cells of 2^62 exceed 2^63 - 1 unless the cell of -5 is chosen too;
    // 2^62 and 2^62 - 1 make exactly 2^63 - 1.
    const std::int64_t big = std::int64_t{1} << 62;
    check_probabilistic_law({1.0, 2.0, 1.0, 1.5}, {big, big, -5, big - 1}, int64_max);
    check_probabilistic_law({1.0, 1.0, 1.0}, {int64_max, 1, -int64_max}, int64_max);
    // Three cells of -2^62 take the total below -2^63, where a 64-bit total
    // would wrap around: every cell still fits in the end.
    check_probabilistic_law({1.0, 1.0, 1.0, 1.0, 1.0}, {-big, -big, -big, int64_max, 1}, int64_max);
    // No negative amount: the binned form's counts of such amounts would pass
    // 2^64 (four cells in one bin) were they not clamped.
    check_probabilistic_law({1.0, 2.0, 1.0, 1.5, 1.0, 0.5}, {big, big, big, big, big, 3}, int64_max);
}

TEST(construct_law_of_weights_40_octaves_apart) {
    // One band of amounts 1 to 3: two heavy classes (a head, whole in the
    // first interval), one of 2^-20 (its own group), and a tail from 2^-20.6
    // to 2^-41.2 (two cells in one class, 0.75 apart) whose last cells race
    // for the budget left.
    const std::vector<double> w{1.0, 0.4, 0x1p-20, std::exp2(-20.6), 0x1p-40, 0.75 * 0x1p-40, std::exp2(-41.2)};
    check_probabilistic_law(w, {1, 2, 1, 1, 1, 2, 1}, 7);
    check_probabilistic_law(w, {1, 2, 1, 1, 1, 2, 1}, 4);
}

TEST(construct_law_of_ants) {
    // Weights pow(tau, alpha) * pow(eta, beta); a negative eta squared counts.
    const std::vector<double> tau{1.0, 0.5, 2.0, 1.0, 0.7};
    const std::vector<double> eta{1.0, 2.0, 0.5, -1.0, 0.0};
    const std::vector<std::int64_t> b{1, 2, 1, 1, 1};
    AntColonyParameters parameters;
    parameters.alpha = 1.5;
    parameters.beta = 2.0;
    std::vector<double> weights;
    for (std::size_t k = 0; k < tau.size(); ++k) {
        weights.push_back(std::pow(tau[k], parameters.alpha) * std::pow(eta[k], parameters.beta));
    }
    const Law law = exact_law(weights, b, 3);
    const Task task = task_of(1, tau.size(), b, 3);
    const FloatMatrix tau_matrix = matrix_of(1, tau.size(), tau, false);
    const FloatMatrix eta_matrix = matrix_of(1, eta.size(), eta, false);
    for (Form form : every_form) check_law(ants_in(form, task, tau_matrix, parameters, eta_matrix), law, name_of(form));
}

namespace {

// Too many orders to enumerate: how often each cell is chosen by the module's
// forms against the reference form (two-sample test, 6 standard deviations).
void check_forms_agree(const Task& task, const FloatMatrix& density) {
    constexpr int samples = 40000;
    const std::uint64_t cells = task.m * task.n;
    constexpr int forms = std::size(every_form);
    std::vector<std::vector<int>> chosen(forms, std::vector<int>(cells, 0));
    for (int f = 0; f < forms; ++f) {
        const Construct construct = probabilistic_in(every_form[f], task, density);
        for (int d = 0; d < samples; ++d) {
            for (std::uint64_t cell : allotra::cells_of(construct())) ++chosen[f][cell];
        }
    }
    for (int f = 1; f < forms; ++f) {
        for (std::uint64_t cell = 0; cell < cells; ++cell) {
            const double p = (chosen[0][cell] + chosen[f][cell]) / (2.0 * samples);
            const double tolerance = 6.0 * std::sqrt(2.0 * samples * p * (1.0 - p)) + 1.0;
            const bool ok = std::fabs(chosen[0][cell] - chosen[f][cell]) <= tolerance;
            if (!ok) {
                std::printf("  cell %llu: reference %d, %s %d\n", static_cast<unsigned long long>(cell), chosen[0][cell],
                            name_of(every_form[f]), chosen[f][cell]);
            }
            CHECK(ok);
        }
    }
}

}  // namespace

TEST(construct_forms_agree_on_a_larger_grid) {
    // Negative amounts move the budget both ways.
    const std::vector<std::int64_t> b{5, -3, 4, 7, 2, 6, -8, 3, 1, 9, 4, 2, 8, -1, 5, 3};
    const std::vector<double> w{1.0, 0.5, 2.0, 0.0, 1.5, 3.0, 0.7, not_a_number, 2.2, 1.1, -1.0, 0.9, 4.0, 0.3,
                                1.8, 2.6};
    check_forms_agree(task_of(4, 4, b, 12), matrix_of(4, 4, w, false));

    // No negative amount, weights over six orders of magnitude: the binned
    // form crosses the budget in bins of every kind and races what still
    // fits anew, several times.
    allotra::RandomGenerator generator = allotra::RandomGenerator::from_os();
    std::vector<std::int64_t> amounts(64);
    std::vector<double> weights(64);
    std::int64_t total = 0;
    for (std::size_t k = 0; k < 64; ++k) {
        amounts[k] = static_cast<std::int64_t>(generator.next_u64() % 20);
        weights[k] = std::pow(10.0, 6.0 * allotra::unit_from_bits(generator.next_u64()) - 3.0);
        total += amounts[k];
    }
    check_forms_agree(task_of(8, 8, amounts, total / 3), matrix_of(8, 8, weights, false));

    // 100 cells, a fifth of them negative: the shaped form halves its bins
    // twice, and the budget runs out inside the bins, with cells waiting.
    amounts.resize(100);
    weights.resize(100);
    total = 0;
    for (std::size_t k = 0; k < 100; ++k) {
        amounts[k] = static_cast<std::int64_t>(generator.next_u64() % 20) * (k % 5 == 2 ? -1 : 1);
        weights[k] = std::pow(10.0, 4.0 * allotra::unit_from_bits(generator.next_u64()) - 2.0);
        total += std::max<std::int64_t>(amounts[k], 0);
    }
    check_forms_agree(task_of(10, 10, amounts, total / 4), matrix_of(10, 10, weights, false));
}

TEST(construct_result_is_feasible_and_maximal) {
    // Random grids with large negative amounts, in every form of the race:
    // its bookkeeping of the fitting cells moves far in both directions.
    allotra::RandomGenerator generator = allotra::RandomGenerator::from_os();
    for (int round = 0; round < 40; ++round) {
        const std::uint64_t m = 1 + generator.next_u64() % 30;
        const std::uint64_t n = 1 + generator.next_u64() % 30;
        std::vector<std::int64_t> b(m * n);
        std::vector<double> w(m * n);
        for (std::uint64_t k = 0; k < m * n; ++k) {
            b[k] = static_cast<std::int64_t>(generator.next_u64() % 150) - 40;
            if (generator.next_u64() % 40 == 0) b[k] = -4000;
            const std::uint64_t kind = generator.next_u64() % 10;
            w[k] = kind == 0 ? 0.0 : kind == 1 ? -1.0 : allotra::unit_from_bits(generator.next_u64()) * 10.0;
        }
        const std::int64_t b_total = 1 + static_cast<std::int64_t>(generator.next_u64() % 3000);
        const Task task = task_of(m, n, b, b_total);
        const FloatMatrix density = matrix_of(m, n, w, false);
        for (Form form : every_form) {
          if (form == Form::reference) continue;
          const Construct construct = probabilistic_in(form, task, density);
          for (int run = 0; run < 5; ++run) {
            const Selection outcome = construct();
            REQUIRE(outcome.taken.size() <= (m * n + 63) / 64);
            std::vector<bool> selected(m * n, false);
            allotra::WideInt used = 0;
            for (std::uint64_t cell : allotra::cells_of(outcome)) {
                REQUIRE(cell < m * n);
                CHECK(w[cell] > 0.0);
                selected[cell] = true;
                used += b[cell];
            }
            CHECK(used <= b_total);
            for (std::uint64_t cell = 0; cell < m * n; ++cell) {
                CHECK(selected[cell] || !(w[cell] > 0.0) || used + b[cell] > b_total);
            }
          }
        }
    }
}

TEST(construct_infinite_candidate_total_is_internal_error) {
    struct Case {
        std::vector<double> weights;
        std::vector<std::int64_t> b;
        std::int64_t b_total;
        bool throws;
    };
    const std::vector<Case> cases{
        {{1.0, infinity}, {1, 1}, 5, true},             // fits from the start
        {{1.0, infinity}, {1, 10}, 5, false},           // never fits
        {{0.0, 1.0, infinity}, {-5, 1, 8}, 5, false},   // the cell that would make room is never drawn
        {{1.0, infinity}, {-1, 6}, 5, true},            // fits once cell 0 gave budget back
        {{1.7e308, 1.7e308}, {1, 1}, 5, true},          // the sum overflows
        {{1.7e308, 1.7e308}, {3, 6}, 5, false},         // never both candidates
        {{1.7e308, 1.7e308, 1.0}, {6, 6, -1}, 5, true}, // both fit once cell 2 gave budget back
        {{1e300, 1e300, 1e300}, {1, 1, 1}, 5, false},   // large but finite
    };
    for (const Case& c : cases) {
        const Task task = task_of(1, c.weights.size(), c.b, c.b_total);
        const FloatMatrix density = matrix_of(1, c.weights.size(), c.weights, false);
        for (Form form : every_form) {
            const Construct construct = probabilistic_in(form, task, density);
            for (int run = 0; run < 50; ++run) {
                if (c.throws) {
                    CHECK_THROWS_WITH(construct(), allotra::InternalError, "NonFinite");
                } else {
                    CHECK(allotra::taken_count(construct().taken) > 0);
                }
            }
        }
    }
}

TEST(construct_ant_infinite_weight_is_internal_error) {
    // beta = -1 makes a cell with eta 0 weigh +infinity: an error once it
    // fits, and none while it does not.
    AntColonyParameters parameters;
    parameters.beta = -1.0;
    const FloatMatrix tau = matrix_of<double>(1, 3, {1.0, 1.0, 1.0}, false);
    const FloatMatrix eta = matrix_of<double>(1, 3, {2.0, 0.0, 1.0}, false);
    for (Form form : every_form) {
        const Task fitting = task_of(1, 3, {1, 1, 1}, 3);
        CHECK_THROWS_WITH(ants_in(form, fitting, tau, parameters, eta)(), allotra::InternalError, "NonFinite");

        const Task too_big = task_of(1, 3, {1, 9, 1}, 3);
        const Construct safe = ants_in(form, too_big, tau, parameters, eta);
        for (int run = 0; run < 50; ++run) CHECK(mask_of(safe()) == 0b101);
    }
}

TEST(construct_value_is_the_objective_bit_for_bit) {
    // Terms of very different sizes, so that adding them in another order
    // changes the rounding; each layout of c and omega fixes its own order.
    // The last two have no discount, where c alone may be the term.
    allotra::RandomGenerator generator = allotra::RandomGenerator::from_os();
    int order_mattered = 0;
    for (int layout = 0; layout < 6; ++layout) {
        const bool c_by_column = layout & 1;
        const bool omega_by_column = layout & 2;
        const bool discounted = layout < 4;
        const std::uint64_t m = 7, n = 6;
        std::vector<std::int64_t> c(m * n), b(m * n);
        std::vector<double> omega(m * n), w(m * n);
        for (std::uint64_t k = 0; k < m * n; ++k) {
            std::int64_t scale = 1;
            for (std::uint64_t digits = generator.next_u64() % 16; digits > 0; --digits) scale *= 10;
            c[k] = static_cast<std::int64_t>(generator.next_u64() % 1000 + 1) * scale;
            omega[k] = discounted ? allotra::unit_from_bits(generator.next_u64()) : 0.0;
            b[k] = static_cast<std::int64_t>(generator.next_u64() % 10 + 1);
            w[k] = allotra::unit_from_bits(generator.next_u64()) + 0.1;
        }
        Task task;
        task.m = m;
        task.n = n;
        task.c = matrix_of(m, n, c, c_by_column);
        task.b_ij = matrix_of(m, n, b, false);
        task.b_total = 40;
        task.omega = matrix_of(m, n, omega, omega_by_column);
        const FloatMatrix density = matrix_of(m, n, w, false);
        for (Form form : every_form) {
            const Construct construct = probabilistic_in(form, task, density);
            for (int run = 0; run < 200; ++run) {
                const Selection outcome = construct();
                const allotra::Solution solution = allotra::to_solution(task, outcome);
                const double expected = allotra::objective(solution.x, task.c, task.omega);
                CHECK_EQ(outcome.value, expected);
                if (allotra::objective_of_cells(allotra::cells_of(outcome), task.c, task.omega) != expected) ++order_mattered;
            }
        }
    }
    // Otherwise this test could not tell the row order from the column order.
    CHECK(order_mattered > 0);
}

TEST(construct_empty_grid_and_no_candidate) {
    for (Form form : every_form) {
        const Task empty = task_of(0, 3, {}, 5);
        const FloatMatrix none = matrix_of<double>(0, 3, {}, false);
        const Selection nothing = probabilistic_in(form, empty, none)();
        CHECK(allotra::taken_count(nothing.taken) == 0);
        CHECK_EQ(nothing.value, 0.0);

        const Task too_big = task_of(1, 2, {6, 7}, 5);
        const FloatMatrix weights = matrix_of<double>(1, 2, {1.0, 1.0}, false);
        CHECK(allotra::taken_count(probabilistic_in(form, too_big, weights)().taken) == 0);
    }
}

TEST(construct_evaporate_and_deposit) {
    FloatMatrix tau = allotra::filled_float_matrix(1, 3, 1.0);
    const std::vector<Selection> ants{allotra::selection_of_cells(3, std::vector<std::uint64_t>{0, 1}, 10.0),
                                      allotra::selection_of_cells(3, std::vector<std::uint64_t>{0}, 20.0)};
    FloatMatrix next = allotra::filled_float_matrix(1, 3, 0.0);
    allotra::evaporate_into(next, tau, 0.1);
    allotra::deposit(next, 100.0, ants);
    CHECK(std::fabs(next.at(0, 0) - 1.2) < 1e-12);
    CHECK(std::fabs(next.at(0, 1) - 1.0) < 1e-12);
    CHECK(std::fabs(next.at(0, 2) - 0.9) < 1e-12);
}

TEST(construct_pheromone_update_in_chunks_is_the_sequential_pass) {
    // Chunks that cut through every ant's cells must give each cell exactly
    // the arithmetic of one pass: multiply, then the ants' deposits in order.
    allotra::RandomGenerator generator = allotra::RandomGenerator::from_os();
    const std::uint64_t m = 37, n = 29;
    FloatMatrix tau = allotra::filled_float_matrix(m, n, 0.0);
    for (std::uint64_t k = 0; k < m * n; ++k) tau.elements[k] = allotra::unit_from_bits(generator.next_u64()) * 3.0;
    // Each ant's cells as a list, added one by one; the colony deposits
    // from the same cells as bitmaps.
    std::vector<std::vector<std::uint64_t>> lists(5);
    std::vector<Selection> ants;
    for (std::vector<std::uint64_t>& list : lists) {
        for (std::uint64_t cell = 0; cell < m * n; ++cell) {
            if (generator.next_u64() % 3 == 0) list.push_back(cell);
        }
        ants.push_back(allotra::selection_of_cells(m * n, list, allotra::unit_from_bits(generator.next_u64()) * 1000.0));
    }
    std::vector<double> expected(tau.elements.get(), tau.elements.get() + m * n);
    for (double& entry : expected) entry *= 1.0 - 0.15;
    for (std::size_t a = 0; a < ants.size(); ++a) {
        for (std::uint64_t cell : lists[a]) expected[cell] += ants[a].value / 7.5;
    }
    for (std::uint64_t chunk : {std::uint64_t{1}, std::uint64_t{13}, std::uint64_t{500}, m * n}) {
        // Deposited in two windows of ants, as the colony does.
        FloatMatrix updated = allotra::filled_float_matrix(m, n, 0.0);
        allotra::evaporate_into(updated, tau, 0.15, chunk);
        allotra::deposit(updated, 7.5, {ants[0], ants[1]}, chunk);
        allotra::deposit(updated, 7.5, {ants[2], ants[3], ants[4]}, chunk);
        CHECK(std::equal(expected.begin(), expected.end(), updated.elements.get()));
    }
}

TEST(construct_cell_list_widens_past_32_bits) {
    // No test can build a grid of 2^32 cells, so the switch to 8-byte indices
    // is checked on the list itself: every index kept, in order, searchable.
    const std::uint64_t big = std::uint64_t{1} << 32;
    allotra::CellList cells{0, 7, big - 1};
    cells.push_back(big);
    cells.push_back(big * 5 + 3);
    const std::vector<std::uint64_t> expected{0, 7, big - 1, big, big * 5 + 3};
    CHECK(std::equal(cells.begin(), cells.end(), expected.begin(), expected.end()));
    CHECK_EQ(*std::lower_bound(cells.begin(), cells.end(), big), big);
    CHECK_EQ(std::lower_bound(cells.begin(), cells.end(), 8u) - cells.begin(), 2);
}

TEST(construct_cell_list_written_again_over_a_longer_one) {
    // A construction writes its list into the storage of a dropped one, which
    // may be longer and holds other cells: only the new set bits remain.
    allotra::CellList cells;
    std::vector<std::uint64_t> words(40, ~std::uint64_t{0});
    cells.assign_set_bits(words, 40 * 64);
    std::fill(words.begin(), words.end(), 0);
    words[3] = 0b1001;
    words[39] = std::uint64_t{1} << 63;
    cells.assign_set_bits(words, 3);
    const std::vector<std::uint64_t> expected{192, 195, 39 * 64 + 63};
    CHECK(cells.capacity() >= 40 * 64);
    CHECK(std::equal(cells.begin(), cells.end(), expected.begin(), expected.end()));
}
