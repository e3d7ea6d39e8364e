// Times single constructions of the module's form on the calling thread: the
// cost of one construction without the pool, and the per-iteration work that
// the colony does before its ants run.
//
//   bench_construction probabilistic|ant FAMILY BUDGET_PERCENT M N [REPEATS] [ITERATIONS]
//
// FAMILY is uncorrelated, weak or strong (how c follows b_ij: independent,
// within +-10 of it, or b_ij + 10); b_ij is in [1, 100], omega in [0, 0.3],
// and the budget BUDGET_PERCENT of the sum of b_ij. FAMILY negativeP is the
// task with negative amounts: c in [1, 1000), b_ij in [1, 100), omega 0, and
// the amount of P percent of the cells (chosen at random) negated, the budget
// BUDGET_PERCENT of the sum of the amounts before the negation. The task comes from a
// fixed seed, so every run (and every revision) sees the same one. The ant
// construction runs with the default parameters on the first iteration's
// pheromone, or, given ITERATIONS, on the pheromone after that many
// iterations of a colony of the default parameters (run on the calling
// thread first: the weights spread an octave after another). Run it with RAYON_NUM_THREADS=1 to time one worker. Prints:
//
//   solver family budget m n repeats median_construction_s min_construction_s
//   median_prepare_s median_cells median_construction_cpu_s
//
// (CPU time of the process: on a machine shared with other work it is less
// inflated than the wall time.)
//
// (prepare is the one-off setup for the probabilistic solver, timed once,
// the per-iteration update of the weights for the ants; the warm-up
// construction, which also allocates the working memory, is not timed.)
#include <algorithm>
#include <bit>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_common.hpp"
#include "kernel/matrix.hpp"
#include "kernel/random/random.hpp"
#include "model/task.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/constructions.hpp"
#include "solvers/value_density.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

allotra::Task negative_task(double negative_share, double budget_share, std::uint64_t m, std::uint64_t n) {
    std::mt19937_64 engine(20261208u + m * 1000003u + n);
    std::uniform_int_distribution<std::int64_t> value(1, 999);
    std::uniform_int_distribution<std::int64_t> amount(1, 99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    allotra::Task task = bench::blank_task(m, n);
    std::int64_t total = 0;
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t j = 0; j < n; ++j) {
            const std::int64_t b = amount(engine);
            task.c.at(i, j) = value(engine);
            task.b_ij.at(i, j) = unit(engine) < negative_share ? -b : b;
            task.omega.at(i, j) = 0.0;
            total += b;
        }
    }
    task.b_total = std::max<std::int64_t>(1, static_cast<std::int64_t>(static_cast<double>(total) * budget_share));
    return task;
}

allotra::Task family_task(const std::string& family, double budget_share, std::uint64_t m, std::uint64_t n) {
    if (family.rfind("negative", 0) == 0) {
        return negative_task(std::atof(family.c_str() + 8) / 100.0, budget_share, m, n);
    }
    return bench::family_task(family, m, n, 20250101u + m * 1000003u + n, true, budget_share);
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

// The cells a selection chose: a bitmap's set bits, or an older revision's list.
template <typename Chosen>
std::uint64_t chosen_count(const Chosen& selection) {
    if constexpr (requires { selection.taken; }) {
        std::uint64_t count = 0;
        for (std::uint64_t word : selection.taken) count += static_cast<std::uint64_t>(std::popcount(word));
        return count;
    } else {
        return selection.cells.size();
    }
}

int main(int argc, char** argv) {
    const std::string solver = argc > 1 ? argv[1] : "";
    const std::string family = argc > 2 ? argv[2] : "";
    if (argc < 6 || (solver != "probabilistic" && solver != "ant") ||
        (family != "uncorrelated" && family != "weak" && family != "strong" && family.rfind("negative", 0) != 0)) {
        std::fprintf(stderr,
                     "usage: %s probabilistic|ant uncorrelated|weak|strong|negativeP BUDGET_PERCENT M N [REPEATS]\n",
                     argv[0]);
        return 2;
    }
    const double budget_share = std::atof(argv[3]) / 100.0;
    const std::uint64_t m = std::strtoull(argv[4], nullptr, 10);
    const std::uint64_t n = std::strtoull(argv[5], nullptr, 10);
    const int repeats = argc > 6 ? std::max(1, std::atoi(argv[6])) : 7;
    const allotra::Task task = family_task(family, budget_share, m, n);
    allotra::RandomGenerator& generator = allotra::thread_generator();

    std::vector<double> construction_seconds, construction_cpu, prepare_seconds, cells;
    const allotra::FloatMatrix density = allotra::value_density(task);
    const allotra::AntColonyParameters parameters;
    allotra::FloatMatrix tau = allotra::filled_float_matrix(m, n, parameters.initial_pheromone);
    const std::uint64_t iterations = argc > 7 ? std::strtoull(argv[7], nullptr, 10) : 0;
    if (solver == "ant" && iterations > 0) {
        // The colony's own steps: weights from tau, evaporation in place,
        // the ants, their deposit.
        allotra::AntConstruction colony(task, tau, parameters, density);
        const double scale = allotra::deposit_scale(task);
        std::vector<allotra::Selection> iteration_ants(parameters.num_ants);
        for (std::uint64_t iteration = 0; iteration < iterations; ++iteration) {
            colony.prepare_iteration();
            allotra::evaporate_into(tau, tau, parameters.rho);
            for (allotra::Selection& ant : iteration_ants) ant = colony.construct(generator, 0);
            allotra::deposit(tau, scale, iteration_ants);
        }
    }
    std::optional<allotra::ProbabilisticConstruction> probabilistic;
    std::optional<allotra::AntConstruction> ants;
    // Setup once, outside the timed constructions; one warm-up construction.
    for (int repeat = 0; repeat <= repeats; ++repeat) {
        auto start = clock_type::now();
        if (solver == "ant") {
            if (!ants) ants.emplace(task, tau, parameters, density);
            ants->prepare_iteration();
        } else if (!probabilistic) {
            probabilistic.emplace(task, density);
        }
        const double prepared = seconds_since(start);
        start = clock_type::now();
        const std::clock_t cpu_start = std::clock();
        allotra::Selection selection =
            solver == "ant" ? ants->construct(generator, 0) : probabilistic->construct(generator, 0);
        const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        const double constructed = seconds_since(start);
        // The probabilistic solver prepares once (timed in the warm-up); the
        // colony every iteration.
        if (repeat == 0 || solver == "ant") prepare_seconds.push_back(prepared);
        if (repeat == 0) continue;
        construction_seconds.push_back(constructed);
        construction_cpu.push_back(cpu);
        cells.push_back(static_cast<double>(chosen_count(selection)));
        // As the solvers do, the dropped selection's storage goes to the next
        // construction (where the revision can).
        const auto recycle = [&](auto& construction) {
            if constexpr (requires { construction.recycle(std::move(selection), 0); }) {
                construction.recycle(std::move(selection), 0);
            }
        };
        if (solver == "ant") {
            recycle(*ants);
        } else {
            recycle(*probabilistic);
        }
    }
    std::printf("%s %s %s %llu %llu %d %.6g %.6g %.6g %.0f %.6g\n", solver.c_str(), family.c_str(), argv[3],
                static_cast<unsigned long long>(m), static_cast<unsigned long long>(n), repeats,
                bench::median(construction_seconds), *std::min_element(construction_seconds.begin(),
                                                                construction_seconds.end()),
                bench::median(prepare_seconds), bench::median(cells), bench::median(construction_cpu));
    return 0;
}
