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
#include "kernel/random/seeds.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/constructions.hpp"
#include "solvers/run.hpp"
#include "solvers/value_density.hpp"

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
    return a.best.value == b.best.value && a.best.taken == b.best.taken && a.history == b.history &&
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

TEST(probabilistic_run_in_small_batches_is_one_batch) {
    const Task task = task_of(20, 30);
    RunOptions small = seeded(5);
    small.batch_size = 7;
    CHECK(same(run_probabilistic(task, ProbabilisticParameters{50}, small),
               run_probabilistic(task, ProbabilisticParameters{50}, seeded(5))));
}

TEST(probabilistic_run_drops_only_constructions_that_cannot_win) {
    // Terms of 2^52 or 2^52 + 40: in the objective's order the sum passes
    // 2^58, where each + 40 rounds up to + 64, so the exact sum of a new best
    // is often above the best while a sum in another order is not. The run
    // must keep what every exact value, scanned in order, keeps.
    Task task = task_of(30, 30);
    task.b_total = 100;
    for (const std::uint64_t spread : {2, 1013}) {
      for (std::uint64_t k = 0; k < 900; ++k) {
        task.c.at(k / 30, k % 30) = (std::int64_t{1} << 52) + static_cast<std::int64_t>((k * 7919) % spread) * 40;
        task.b_ij.at(k / 30, k % 30) = 1;
      }
      for (double omega : {0.0, 0.5}) {
        task.omega = filled_float_matrix(30, 30, omega);
        ProbabilisticConstruction construction(task, value_density(task));
        const ChaChaKey root = run_key(Seed{21, 0}, SeedDomain::probabilistic);
        Selection best;
        std::vector<Improvement> history;
        for (std::uint64_t place = 0; place < 3000; ++place) {
            RandomGenerator stream = RandomGenerator::seeded(derived_key(root, place));
            Selection selection = construction.construct(stream, pool_size());
            if (selection.value > best.value) {
                best = std::move(selection);
                history.push_back({place + 1, best.value});
            }
        }
        const RunOutcome run = run_probabilistic(task, ProbabilisticParameters{3000}, seeded(21));
        CHECK(run.best.value == best.value && run.best.taken == best.taken && run.history == history);
      }
    }
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
            [](std::uint64_t, const Selection&) { return false; }, AntCount::checked, window);
        return best;
    };
    const Selection whole = best_with(9);
    for (std::uint64_t window : {1, 2, 4}) {
        const Selection part = best_with(window);
        CHECK_EQ(part.value, whole.value);
        CHECK(part.taken == whole.taken);
    }
}

// The deposit's scale reads every cell: a stop requested meanwhile ends it.
TEST(deposit_scale_stops_when_asked) {
    const Task task = task_of(300, 400);
    const InterruptPoll stop = [] { return true; };
    InterruptScope scope(stop);
    CHECK_THROWS_WITH(deposit_scale(task), Cancelled, "");
}
