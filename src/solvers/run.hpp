// A run: a solve that its caller can bound (a deadline), repeat (a seed) and
// watch (a progress report). The same seed, task and parameters give the same
// result on any machine and number of threads; a run stopped after k
// iterations (colony) or k constructions (probabilistic) returns what a run
// with kmax = k returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "kernel/pool/deadline.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "kernel/random/seeds.hpp"
#include "kernel/selection.hpp"
#include "model/task.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/probabilistic.hpp"
#include "solvers/run_history.hpp"

namespace allotra {

enum class Stopped { completed, time_limit, callback };

// Called on the calling thread with the iterations (constructions) completed,
// the best value so far and the seconds since the start; true stops the run.
using Progress = std::function<bool(std::uint64_t iterations, double value, double seconds)>;

struct RunOptions {
    Seed seed;
    Deadline deadline;
    Progress progress;  // may be empty
    // The caller's own reasons to cancel (signals): polled like a solve's, it
    // throws (or returns true) to end the run without a result.
    InterruptPoll interrupted;
    Deadline::Clock::time_point started = Deadline::Clock::now();
    // Constructions a probabilistic run hands to the pool at once: far more
    // than complete between two of the batches' ends, where the workers wait
    // for the slowest; tests make it small.
    std::uint64_t batch_size = std::uint64_t{1} << 32;
};

struct RunOutcome {
    // The best selection (cells row-major, ascending) and its value; the
    // binding writes its ones straight into the array it returns.
    Selection best;
    std::uint64_t iterations = 0;
    std::vector<Improvement> history;
    Stopped stopped = Stopped::completed;
    double seconds = 0.0;
    // The task's relaxation bound (solvers/relaxation_bound.hpp): no
    // selection is worth more, so it tells how far `best` can be from the
    // optimum.
    double bound = 0.0;
};

RunOutcome run_probabilistic(const Task& task, const ProbabilisticParameters& parameters, const RunOptions& options);
RunOutcome run_ant_colony(const Task& task, const AntColonyParameters& parameters, const RunOptions& options);

// Why a run stops, shared by both loops. poll() is the run's interrupt poll:
// the deadline first (a clock read), then the caller's own poll.
class RunWatch {
public:
    explicit RunWatch(const RunOptions& options) : options_(options) {}

    bool poll() {
        if (options_.deadline.passed()) {
            if (stopped_ == Stopped::completed) stopped_ = Stopped::time_limit;
            return true;
        }
        return options_.interrupted && options_.interrupted();
    }
    void stop_for_callback() { stopped_ = Stopped::callback; }
    // For a Cancelled that ended the work: whether the run itself asked for
    // it (a construction may see the deadline before the poll does); if not,
    // the caller's poll did and Cancelled goes on.
    bool stopped_early() {
        if (stopped_ == Stopped::completed && options_.deadline.passed()) stopped_ = Stopped::time_limit;
        return stopped_ != Stopped::completed;
    }
    bool stopped_for_callback() const { return stopped_ == Stopped::callback; }
    double seconds() const {
        return std::chrono::duration<double>(Deadline::Clock::now() - options_.started).count();
    }
    RunOutcome outcome(Selection best, std::uint64_t iterations, std::vector<Improvement> history,
                       double bound) const {
        return RunOutcome{std::move(best), iterations, std::move(history), stopped_, seconds(), bound};
    }

private:
    const RunOptions& options_;
    Stopped stopped_ = Stopped::completed;
};

}  // namespace allotra
