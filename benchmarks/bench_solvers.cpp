// Times one solver in one construction form on a reproducible random task.
//
//   bench_solvers SOLVER FORM M N [REPEATS] [KMAX] [BUDGET_PERCENT] [NUM_ANTS] [FAMILY]
//
// SOLVER is probabilistic or ant, FORM module (the module's constructions) or
// reference (the reference form, which rescans the grid at every step). The task has
// values c in [1, 100], amounts b_ij in [1, 50], discounts omega in [0, 0.3]
// and a budget of 20% (or BUDGET_PERCENT) of the sum of b_ij, drawn from a fixed seed so that every
// run sees the same task. Parameters are the solvers' defaults, except KMAX
// when given (to time a slow run in part). FAMILY uncorrelated, weak or strong
// takes instead the knapsack families of instances.py (c and b_ij in [1, 100],
// c independent of b_ij, within 10 of it, or b_ij + 10; no discount), and
// FAMILY+discounts the same with discounts uniform in [0, 0.5], as users'
// tasks have them. Prints one line:
//
//   solver form m n repeats kmax median_seconds min_seconds median_value
//
// and, where FAMILY is given (any, "task" for the task above) and the
// module's colony runs, a second: the wall seconds of each iteration of its
// first solve (the first with the solve's setup), after the word iterations.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_common.hpp"
#include "kernel/matrix.hpp"
#include "reference_constructions.hpp"
#include "model/task.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/constructions.hpp"
#include "solvers/probabilistic.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

allotra::Task random_task(std::uint64_t m, std::uint64_t n, std::int64_t budget_percent) {
    std::mt19937_64 engine(20240601u + m * 1000003u + n);
    std::uniform_int_distribution<std::int64_t> value(1, 100);
    std::uniform_int_distribution<std::int64_t> amount(1, 50);
    std::uniform_real_distribution<double> discount(0.0, 0.3);
    allotra::Task task = bench::blank_task(m, n);
    std::int64_t total = 0;
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t j = 0; j < n; ++j) {
            task.c.at(i, j) = value(engine);
            task.b_ij.at(i, j) = amount(engine);
            task.omega.at(i, j) = discount(engine);
            total += task.b_ij.at(i, j);
        }
    }
    task.b_total = std::max<std::int64_t>(1, total * budget_percent / 100);
    return task;
}

// The families of instances.py, without discounts or ("+discounts") with
// discounts in [0, 0.5].
constexpr std::string_view with_discounts = "+discounts";

allotra::Task family_task(std::string family, std::uint64_t m, std::uint64_t n, std::int64_t budget_percent) {
    const bool discounted = family.ends_with(with_discounts);
    if (discounted) family.resize(family.size() - with_discounts.size());
    return bench::family_task(family, m, n, 20261210u + m * 1000003u + n, discounted,
                              static_cast<double>(budget_percent) / 100.0, 0.5);
}

// The answer of a best selection: a bitmap's, or an older revision's list.
template <typename Best>
allotra::Solution solution_of(const allotra::Task& task, const Best& best) {
    if constexpr (requires { allotra::to_solution(task, best); }) {
        return allotra::to_solution(task, best);
    } else {
        return allotra::to_solution(task, best.cells, best.value);
    }
}

// One ant as the module's colony builds it: its value made with the other
// ants of its window where this revision can, else at once.
template <typename Colony>
allotra::Selection one_ant(Colony& colony, std::size_t worker) {
    if constexpr (requires { colony.construct_unvalued(allotra::thread_generator(), worker); }) {
        return colony.construct_unvalued(allotra::thread_generator(), worker);
    } else {
        return colony.construct(allotra::thread_generator(), worker);
    }
}

// The module's colony, timing each iteration.
allotra::Solution timed_colony(const allotra::Task& task, const allotra::AntColonyParameters& parameters,
                               std::vector<double>& iteration_seconds) {
    const allotra::InterruptPoll never;
    allotra::InterruptScope interrupt(never);
    allotra::Selection best;
    auto last = clock_type::now();
    allotra::colony_iterations<allotra::AntConstruction>(
        task, parameters, interrupt, best,
        [](allotra::AntConstruction& colony, std::uint64_t, std::uint64_t, std::size_t worker) {
            return one_ant(colony, worker);
        },
        [&](std::uint64_t, const allotra::Selection&) {
            const auto now = clock_type::now();
            iteration_seconds.push_back(std::chrono::duration<double>(now - last).count());
            last = now;
            return false;
        });
    return solution_of(task, best);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string solver = argc > 1 ? argv[1] : "";
    const std::string form = argc > 2 ? argv[2] : "";
    if (argc < 5 || (solver != "probabilistic" && solver != "ant") || (form != "module" && form != "reference")) {
        std::fprintf(stderr, "usage: %s probabilistic|ant module|reference M N [REPEATS] [KMAX] [BUDGET_PERCENT] [NUM_ANTS]\n",
                     argv[0]);
        return 2;
    }
    const std::uint64_t m = std::strtoull(argv[3], nullptr, 10);
    const std::uint64_t n = std::strtoull(argv[4], nullptr, 10);
    const int repeats = argc > 5 ? std::max(1, std::atoi(argv[5])) : 5;
    const std::int64_t budget_percent = argc > 7 ? std::atoll(argv[7]) : 20;
    const std::string family = argc > 9 ? argv[9] : "";
    const std::string kind = family.ends_with(with_discounts) ? family.substr(0, family.size() - with_discounts.size()) : family;
    if (!family.empty() && family != "task" && kind != "uncorrelated" && kind != "weak" && kind != "strong") {
        std::fprintf(stderr, "FAMILY is task, or uncorrelated, weak or strong with or without +discounts\n");
        return 2;
    }
    const allotra::Task task = family.empty() || family == "task" ? random_task(m, n, budget_percent)
                                                                  : family_task(family, m, n, budget_percent);

    allotra::ProbabilisticParameters probabilistic;
    allotra::AntColonyParameters ant;
    if (argc > 6) probabilistic.kmax = ant.kmax = std::strtoull(argv[6], nullptr, 10);
    if (argc > 8) ant.num_ants = std::strtoull(argv[8], nullptr, 10);

    std::vector<double> seconds;
    std::vector<double> values;
    std::vector<double> iteration_seconds;
    const bool timed = !family.empty() && solver == "ant" && form == "module";
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const auto start = clock_type::now();
        const bool reference = form == "reference";
        const allotra::Solution solution =
            timed && repeat == 0 ? timed_colony(task, ant, iteration_seconds)
            : solver == "ant"    ? (reference ? allotra::solve_ant_colony_reference(task, ant)
                                         : allotra::solve_ant_colony(task, ant))
                            : (reference ? allotra::solve_probabilistic_reference(task, probabilistic)
                                         : allotra::solve_probabilistic(task, probabilistic));
        const std::chrono::duration<double> took = clock_type::now() - start;
        seconds.push_back(took.count());
        values.push_back(solution.value);
    }
    std::printf("%s %s %llu %llu %d %llu %.6g %.6g %.17g\n", solver.c_str(), argv[2],
                static_cast<unsigned long long>(m), static_cast<unsigned long long>(n), repeats,
                static_cast<unsigned long long>(solver == "ant" ? ant.kmax : probabilistic.kmax), bench::median(seconds),
                *std::min_element(seconds.begin(), seconds.end()), bench::median(values));
    if (timed) {
        std::printf("iterations");
        for (double iteration : iteration_seconds) std::printf(" %.6g", iteration);
        std::printf("\n");
    }
    return 0;
}
