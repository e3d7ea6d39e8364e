// A solve's setup in few parallel passes: the sort by amount in pieces is the
// stable sort, the one pass of terms and weights gives the bits of the
// separate passes across chunk edges, and a stop inside any setup pass ends
// the solve there.
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "construction_forms.hpp"
#include "harness.hpp"
#include "kernel/error.hpp"
#include "kernel/random/seeds.hpp"
#include "kernel/pool/setup_pass.hpp"
#include "race/task.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/constructions.hpp"
#include "solvers/probabilistic.hpp"
#include "solvers/value_density.hpp"

namespace {

using namespace allotra;
using allotra::construction_tests::matrix_of;

// Amounts of several kinds: few values, zeros, negatives, a range wider than
// the grid (digit by digit), and the int64 extremes.
std::vector<std::int64_t> amounts_of(const std::string& kind, std::uint64_t cells, std::mt19937_64& rng) {
    std::vector<std::int64_t> b(cells);
    for (std::int64_t& a : b) {
        const std::uint64_t r = rng();
        const auto below = [r](std::uint64_t bound) { return static_cast<std::int64_t>(r % bound); };
        a = kind == "few" ? 1 + below(6) : kind == "zeros" ? below(4) : kind == "banded" ? below(700)
            : kind == "signed" ? below(7) - 3 : kind == "wide" ? below(std::uint64_t{1} << 40)
            : r % 3 == 0 ? INT64_MIN : r % 3 == 1 ? INT64_MAX : static_cast<std::int64_t>(r);
    }
    return b;
}

Task task_with(std::uint64_t m, std::uint64_t n, std::vector<std::int64_t> b, std::mt19937_64& rng, bool discounted,
               bool column_major = false) {
    std::vector<std::int64_t> c(m * n);
    std::vector<double> omega(m * n, 0.0);
    for (std::uint64_t k = 0; k < m * n; ++k) {
        c[k] = static_cast<std::int64_t>(rng() % 2000) - 200;
        if (discounted) omega[k] = static_cast<double>(rng() % 1000) / 2000.0;
    }
    std::int64_t budget = 0;
    for (std::int64_t a : b) budget += std::clamp<std::int64_t>(a, 0, 1 << 20) / 2;
    return Task{m, n, matrix_of(m, n, c, column_major), matrix_of(m, n, b, column_major),
                std::max<std::int64_t>(budget, 1), matrix_of(m, n, omega, column_major)};
}

std::vector<std::uint64_t> stable_order(const std::vector<std::int64_t>& b) {
    std::vector<std::uint64_t> order(b.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t x, std::uint64_t y) { return b[x] < b[y]; });
    return order;
}

}  // namespace

// Pieces of one cell, of a few, and one piece: the same order, runs and band
// offsets, on grids of one chunk and of more.
TEST(cells_by_amount_are_the_stable_sort_in_any_number_of_pieces) {
    std::mt19937_64 rng(7);
    for (const auto& [m, n] : {std::pair<std::uint64_t, std::uint64_t>{1, 1}, {3, 7}, {130, 131}}) {
        for (const std::string kind : {"few", "zeros", "banded", "signed", "wide", "extremes"}) {
            const std::vector<std::int64_t> b = amounts_of(kind, m * n, rng);
            const Task task = task_with(m, n, b, rng, false);
            const std::vector<std::uint64_t> expected = stable_order(b);
            for (std::uint64_t piece_cells : {1u, 5u, 65536u}) {
                RaceLimits limits;
                limits.sort_piece_cells = piece_cells;
                limits.band_cells = 300;
                limits.run_cells = kind == "signed" && piece_cells == 5 ? 100000 : 16;
                const RaceTask race = race_task(task, limits);
                REQUIRE(race.by_amount.size() == m * n);
                bool same = true;
                for (std::uint64_t p = 0; p < m * n; ++p) same = same && race.by_amount[p] == expected[p];
                // Each run's end, and each band member's offset (0 before the bands).
                std::uint64_t run = 0;
                for (std::uint64_t p = 0; p < m * n && b[expected.front()] < 0; ++p) {
                    const bool ends = p + 1 == m * n || b[expected[p + 1]] != b[expected[p]];
                    same = same && (!ends || (race.amount_runs.at(run).amount == b[expected[p]] &&
                                              race.amount_runs.at(run++).end == p + 1));
                }
                for (std::uint64_t p = 0; p < race.band_offset.size(); ++p) {
                    const auto band = std::find_if(race.amount_bands.begin(), race.amount_bands.end(),
                                                   [p](const auto& band) { return p < band.end; });
                    same = same && race.band_offset[p] == (p < band->begin ? 0 : b[expected[p]] - band->lowest);
                }
                CHECK(same && run == race.amount_runs.size());
            }
        }
    }
}

namespace {

// The module's ants with their setup and updates in separate passes: a
// matrix of eta, tau filled, and the deposit apart from the next weights.
struct SeparatePassAnts : AntConstruction {
    SeparatePassAnts(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                     const FloatMatrix& eta)
        : AntConstruction(task, tau, parameters, eta) {}
    void deposit_and_prepare(FloatMatrix&, double, const std::vector<Selection>&) = delete;
};

template <typename Ants>
Selection seeded_colony(const Task& task, const AntColonyParameters& parameters) {
    const ChaChaKey root = run_key(Seed{3, 0}, SeedDomain::ant_colony);
    const InterruptPoll none;
    InterruptScope interrupt(none);
    Selection best;
    colony_iterations<Ants>(
        task, parameters, interrupt, best,
        [&](Ants& colony, std::uint64_t iteration, std::uint64_t ant, std::size_t worker) {
            RandomGenerator stream = RandomGenerator::seeded(derived_key(derived_key(root, iteration), ant));
            return build_ant(colony, stream, worker);
        },
        [](std::uint64_t, const Selection&) { return false; });
    return best;
}

}  // namespace

// Terms, density, eta^beta, tau and the first weights made in the pass over
// the cells, and the deposit fused with the next weights: the same bits as
// the separate passes, in grids of several chunks and either layout.
TEST(one_pass_setup_gives_the_bits_of_separate_passes) {
    std::mt19937_64 rng(11);
    for (bool column_major : {false, true}) {
        for (bool discounted : {false, true}) {
            const std::uint64_t m = 150, n = 151;
            std::vector<std::int64_t> b = amounts_of("banded", m * n, rng);
            const Task task = task_with(m, n, b, rng, discounted, column_major);
            const RaceTask race = race_task(task);
            bool terms = true;
            for (std::uint64_t cell = 0; cell < m * n; ++cell) {
                const double term = static_cast<double>(*task.c.ptr(cell / n, cell % n)) *
                                    (1.0 - *task.omega.ptr(cell / n, cell % n));
                terms = terms && std::bit_cast<std::uint64_t>(race.term(cell)) == std::bit_cast<std::uint64_t>(term);
            }
            CHECK(terms);

            ProbabilisticConstruction one_pass(task), separate(task, value_density(task));
            const ChaChaKey root = run_key(Seed{5, 0}, SeedDomain::probabilistic);
            for (std::uint64_t place = 0; place < 20; ++place) {
                RandomGenerator a = RandomGenerator::seeded(derived_key(root, place));
                RandomGenerator z = RandomGenerator::seeded(derived_key(root, place));
                const Selection x = one_pass.construct(a, 0), y = separate.construct(z, 0);
                CHECK(x.value == y.value && x.taken == y.taken);
            }
            for (double alpha : {1.0, 1.5}) {
                AntColonyParameters parameters{6, 4};
                parameters.alpha = alpha;
                parameters.rho = 0.3;
                const Selection x = seeded_colony<AntConstruction>(task, parameters);
                const Selection y = seeded_colony<SeparatePassAnts>(task, parameters);
                CHECK(x.value == y.value && x.taken == y.taken);
            }
        }
    }
}

namespace {

std::vector<std::string> entered;
std::size_t stop_at = 0;
std::atomic<bool> stop_now{false};

// Stops the solve as its stop_at-th setup pass starts, and holds it there
// past the poll's interval, so that the pass's own first check sees it.
void stop_in_pass(const char* name) {
    entered.emplace_back(name);
    if (entered.size() != stop_at) return;
    stop_now = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

// Each setup pass of either solver, stopped as it starts, ends the solve
// before the next pass starts.
TEST(a_stop_inside_any_setup_pass_ends_the_solve_there) {
    std::mt19937_64 rng(13);
    const Task banded = task_with(150, 150, amounts_of("banded", 22500, rng), rng, true);
    const Task signed_amounts = task_with(150, 150, amounts_of("signed", 22500, rng), rng, true);
    RaceLimits own_runs;
    own_runs.run_cells = 100000;
    const InterruptPoll poll = [] { return stop_now.load(); };
    const std::vector<std::function<void()>> solves = {
        [&] { solve_probabilistic(banded, ProbabilisticParameters{1}, poll); },
        [&] { solve_ant_colony(banded, AntColonyParameters{2, 2}, poll); },
        [&] { solve_probabilistic(signed_amounts, ProbabilisticParameters{1}, poll); },
        [&] {
            InterruptScope scope(poll);
            race_task(signed_amounts, own_runs);
        },
    };
    testing::set_setup_pass_hook(stop_in_pass);
    std::set<std::string> reached;
    for (const auto& solve : solves) {
        entered.clear();
        stop_at = 0;
        stop_now = false;
        solve();
        const std::vector<std::string> passes = entered;
        reached.insert(passes.begin(), passes.end());
        for (std::size_t k = 1; k <= passes.size(); ++k) {
            entered.clear();
            stop_at = k;
            stop_now = false;
            CHECK_THROWS_WITH(solve(), Cancelled, "");
            CHECK_EQ(entered.size(), k);
        }
    }
    testing::set_setup_pass_hook(nullptr);
    for (const char* pass : {"discounts", "terms", "sort: count", "sort: places", "sort: scatter", "runs", "band offsets",
                             "weights by amount", "codes", "groups", "scales", "answer"}) {
        CHECK(reached.count(pass) == 1);
    }
}
