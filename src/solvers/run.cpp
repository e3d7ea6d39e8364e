// Both solvers' runs: seeded streams, one per construction, the time limit
// and the progress reports around the loops that solve uses too.
#include "solvers/run.hpp"

#include <algorithm>

#include "kernel/error.hpp"
#include "kernel/random/random.hpp"
#include "solvers/constructions.hpp"
#include "solvers/prefix_best.hpp"
#include "solvers/relaxation_bound.hpp"

namespace allotra {

namespace {

// At least this often the probabilistic run reports its progress.
constexpr auto report_interval = std::chrono::milliseconds(100);

// The construction of one place of a run, drawing from the place's own stream
// and stopping at the run's deadline on whatever thread it runs; the
// arguments after the worker's pass on to the construction.
template <typename Construction, typename... Bar>
Selection construct_at(Construction& construction, const ChaChaKey& place, std::size_t worker,
                       const Deadline& deadline, Bar... must_beat) {
    const DeadlineBinding bound(deadline);
    if (deadline.passed()) throw Cancelled();
    RandomGenerator stream = RandomGenerator::seeded(place);
    if constexpr (sizeof...(Bar) == 0) {
        return build_ant(construction, stream, worker);
    } else {
        return construction.construct(stream, worker, must_beat...);
    }
}

// The task's bound, before the solver starts: every result has one, so the
// time limit does not cut it short; the caller's own interrupt (a signal)
// does, and ends the run without a result.
double run_bound(const Task& task, const RunOptions& options) {
    const InterruptPoll poll = [&] { return options.interrupted && options.interrupted(); };
    InterruptScope interrupt(poll);
    return relaxation_bound(task);
}

}  // namespace

RunOutcome run_probabilistic(const Task& task, const ProbabilisticParameters& parameters, const RunOptions& options) {
    const double bound = run_bound(task, options);
    RunWatch watch(options);
    PrefixBest prefix;
    auto next_report = options.started + report_interval;
    const auto report = [&] {
        const auto [constructions, value] = prefix.progress();
        return options.progress(constructions, value, watch.seconds());
    };
    // The constructions run in batches that this thread waits for, so
    // progress is reported by the poll, which runs every few milliseconds
    // while it waits.
    const InterruptPoll poll = [&] {
        if (watch.poll()) return true;
        if (!options.progress || Deadline::Clock::now() < next_report) return false;
        next_report = Deadline::Clock::now() + report_interval;
        if (report()) watch.stop_for_callback();
        return watch.stopped_for_callback();
    };
    {
        InterruptScope interrupt(poll);
        try {
            if (interrupt.poll_now()) interrupt.throw_stop();
            checked_element_count(task.m, task.n);
            ProbabilisticConstruction construction(task);
            if (interrupt.poll_now()) interrupt.throw_stop();
            const ChaChaKey root = run_key(options.seed, SeedDomain::probabilistic);
            // Handed out a bounded batch at a time, so that any kmax up to
            // 2^64 - 1 runs: an index is a place in the seed's streams, not a
            // slot in memory.
            for (std::uint64_t first = 0; first < parameters.kmax;) {
                const std::uint64_t size = std::min(options.batch_size, parameters.kmax - first);
                run_batch(size, [&](std::uint64_t index, std::size_t worker) {
                    const std::uint64_t place = first + index;
                    // The prefix's best comes before `place`, so it wins a tie.
                    prefix.complete(place, construct_at(construction, derived_key(root, place), worker,
                                                        options.deadline, prefix.best_value()));
                });
                first += size;
            }
        } catch (const Cancelled&) {
            if (!watch.stopped_early()) throw;
        }
    }
    // The report at the end; none once the limit has passed.
    if (options.progress && !watch.stopped_for_callback() && !options.deadline.passed()) report();
    const std::uint64_t constructions = prefix.length();
    return watch.outcome(prefix.take_best(), constructions, prefix.take_history(), bound);
}

RunOutcome run_ant_colony(const Task& task, const AntColonyParameters& parameters, const RunOptions& options) {
    const double bound = run_bound(task, options);
    RunWatch watch(options);
    const InterruptPoll poll = [&] { return watch.poll(); };
    InterruptScope interrupt(poll);
    Selection best;
    std::uint64_t completed = 0;
    History history;
    try {
        if (interrupt.poll_now()) interrupt.throw_stop();
        const ChaChaKey root = run_key(options.seed, SeedDomain::ant_colony);
        colony_iterations<AntConstruction>(
            task, parameters, interrupt, best,
            [&](AntConstruction& colony, std::uint64_t iteration, std::uint64_t ant, std::size_t worker) {
                return construct_at(colony, derived_key(derived_key(root, iteration), ant), worker, options.deadline);
            },
            [&](std::uint64_t iterations, const Selection& so_far) {
                completed = iterations;
                history.completed(iterations, so_far.value);
                // No callback once the limit has passed: the next check stops the run.
                if (!options.progress || options.deadline.passed()) return false;
                if (!options.progress(iterations, so_far.value, watch.seconds())) return false;
                // After the last iteration there is nothing left to stop.
                if (iterations < parameters.kmax) watch.stop_for_callback();
                return true;
            },
            AntCount::unbounded);
    } catch (const Cancelled&) {
        if (!watch.stopped_early()) throw;
    }
    return watch.outcome(std::move(best), completed, history.take(), bound);
}

}  // namespace allotra
