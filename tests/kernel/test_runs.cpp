// Seeded runs on the pool's threads: a run stopped by its deadline returns
// what a run of that length returns, however the constructions were spread
// over the workers, and runs from several threads at once repeat one another. Under ThreadSanitizer this also covers the
// prefix bookkeeping and the deadline that workers read.
#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "harness.hpp"
#include "kernel/error.hpp"
#include "kernel/seeds.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/constructions.hpp"
#include "solvers/run.hpp"

namespace {

using namespace allotra;

Task task_of(std::uint64_t m, std::uint64_t n) {
    Task task;
    task.m = m;
    task.n = n;
    task.c = allocate_matrix<std::int64_t>(m, n, false);
    task.b_ij = allocate_matrix<std::int64_t>(m, n, false);
    task.omega = filled_float_matrix(m, n, 0.25);
    for (std::uint64_t k = 0; k < m * n; ++k) {
        task.c.at(k / n, k % n) = static_cast<std::int64_t>(1 + (k * 7919) % 97);
        task.b_ij.at(k / n, k % n) = static_cast<std::int64_t>(1 + (k * 104729) % 31);
    }
    task.b_total = static_cast<std::int64_t>(m * n * 2);
    return task;
}

RunOptions seeded(std::uint64_t seed, double seconds = 1e300) {
    RunOptions options;
    options.seed = Seed{seed, 0};
    options.deadline = Deadline::after(seconds);
    return options;
}

bool same(const RunOutcome& a, const RunOutcome& b) {
    return a.best.value == b.best.value && std::equal(a.best.cells.begin(), a.best.cells.end(), b.best.cells.begin(), b.best.cells.end()) && a.history == b.history &&
           a.iterations == b.iterations;
}

}  // namespace

TEST(run_stopped_by_its_deadline_keeps_a_whole_prefix) {
    const Task task = task_of(40, 60);
    const RunOutcome stopped = run_probabilistic(task, ProbabilisticParameters{1'000'000'000}, seeded(11, 0.05));
    CHECK(stopped.stopped == Stopped::time_limit);
    REQUIRE(stopped.iterations > 0);
    CHECK(same(stopped, run_probabilistic(task, ProbabilisticParameters{stopped.iterations}, seeded(11))));

    const RunOutcome colony = run_ant_colony(task, AntColonyParameters{4, 1'000'000'000}, seeded(11, 0.05));
    CHECK(colony.stopped == Stopped::time_limit);
    CHECK(same(colony, run_ant_colony(task, AntColonyParameters{4, colony.iterations}, seeded(11))));
}

TEST(runs_from_several_threads_repeat_one_another) {
    const Task task = task_of(30, 40);
    std::vector<RunOutcome> outcomes(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < outcomes.size(); ++t) {
        threads.emplace_back([&, t] {
            outcomes[t] = t % 2 == 0 ? run_probabilistic(task, ProbabilisticParameters{200}, seeded(3))
                                     : run_ant_colony(task, AntColonyParameters{5, 8}, seeded(3));
        });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK(same(outcomes[0], outcomes[2]));
    CHECK(same(outcomes[1], outcomes[3]));
    CHECK(same(outcomes[0], run_probabilistic(task, ProbabilisticParameters{200}, seeded(3))));
}

// Ant k of an iteration is the same construction however many ants are built
// at once, so the colony's best is too: a later window compares with the
// iteration's leader, not only with the best of the iterations before.
TEST(colony_best_is_the_same_whatever_the_ants_built_at_once) {
    const Task task = task_of(30, 40);
    const AntColonyParameters parameters{9, 4};
    const ChaChaKey root = run_key(Seed{5, 0}, SeedDomain::ant_colony);
    const InterruptPoll none;
    const auto best_with = [&](std::uint64_t window) {
        InterruptScope interrupt(none);
        Selection best;
        colony_iterations<AntConstruction>(
            task, parameters, interrupt, best,
            [&](AntConstruction& colony, std::uint64_t iteration, std::uint64_t ant, std::size_t worker) {
                RandomGenerator stream = RandomGenerator::seeded(derived_key(derived_key(root, iteration), ant));
                return colony.construct(stream, worker);
            },
            [](std::uint64_t, const Selection&) { return false; }, window);
        return best;
    };
    const Selection whole = best_with(9);
    for (std::uint64_t window : {1, 2, 4}) {
        const Selection part = best_with(window);
        CHECK_EQ(part.value, whole.value);
        CHECK(std::equal(part.cells.begin(), part.cells.end(), whole.cells.begin(), whole.cells.end()));
    }
}

// The deposit's scale reads every cell: a stop requested meanwhile ends it.
TEST(deposit_scale_stops_when_asked) {
    const Task task = task_of(300, 400);
    const InterruptPoll stop = [] { return true; };
    InterruptScope scope(stop);
    CHECK_THROWS_WITH(deposit_scale(task), Cancelled, "");
}
