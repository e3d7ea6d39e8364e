// Times one solver in one construction form on a reproducible random task.
//
//   bench_solvers SOLVER FORM M N [REPEATS] [KMAX] [BUDGET_PERCENT] [NUM_ANTS]
//
// SOLVER is probabilistic or ant, FORM module (the module's constructions) or
// reference (the reference form, which rescans the grid at every step). The task has
// values c in [1, 100], amounts b_ij in [1, 50], discounts omega in [0, 0.3]
// and a budget of 20% (or BUDGET_PERCENT) of the sum of b_ij, drawn from a fixed seed so that every
// run sees the same task. Parameters are the solvers' defaults, except KMAX
// when given (to time a slow run in part). Prints one line:
//
//   solver form m n repeats kmax median_seconds min_seconds median_value
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "kernel/matrix.hpp"
#include "reference_constructions.hpp"
#include "model/task.hpp"
#include "solvers/ant_colony.hpp"
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
    const allotra::Task task = random_task(m, n, argc > 7 ? std::atoll(argv[7]) : 20);

    allotra::ProbabilisticParameters probabilistic;
    allotra::AntColonyParameters ant;
    if (argc > 6) probabilistic.kmax = ant.kmax = std::strtoull(argv[6], nullptr, 10);
    if (argc > 8) ant.num_ants = std::strtoull(argv[8], nullptr, 10);

    std::vector<double> seconds;
    std::vector<double> values;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const auto start = clock_type::now();
        const bool reference = form == "reference";
        const allotra::Solution solution =
            solver == "ant" ? (reference ? allotra::solve_ant_colony_reference(task, ant)
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
    return 0;
}
