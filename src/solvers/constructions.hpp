// The module's constructions as the solver loops see them: one call builds
// one selection and returns its chosen cells and value. Both run the
// exponential race (race/race.hpp) with their own weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/random/random.hpp"
#include "kernel/selection.hpp"
#include "model/task.hpp"
#include "race/race.hpp"
#include "solvers/parameters.hpp"

namespace allotra {

// The constructions of one probabilistic batch, all drawing cells in
// proportion to `density`. construct() may run on every worker at once;
// `worker` is the slot that run_batch passes. A selection whose value cannot
// exceed `must_beat` comes back without its cells, valued cannot_win.
class ProbabilisticConstruction {
public:
    ProbabilisticConstruction(const Task& task, const FloatMatrix& density, const RaceLimits& limits = {});
    // The same with the value density made from the task's terms, in the
    // pass that makes them: the same weights, bit for bit, without a matrix
    // of their own.
    explicit ProbabilisticConstruction(const Task& task, const RaceLimits& limits = {});
    Selection construct(RandomGenerator& generator, std::size_t worker, double must_beat = cannot_win);
    // Hands back a selection the solver has dropped, whose storage the
    // worker's next construction reuses. Only on that worker, or between batches.
    void recycle(Selection&& done, std::size_t worker) { recycle_selection(scratch_.at(worker), std::move(done)); }

private:
    RaceLimits limits_;
    RaceTask task_;
    RaceWeights weights_;
    std::vector<RaceScratch> scratch_;
};

// The ants of one colony. The pheromone `tau` (row-major) changes between
// iterations; prepare_iteration() must be called after each change and
// before the ants of the next iteration run, which may then construct on
// every worker at once.
class AntConstruction {
public:
    AntConstruction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                    const FloatMatrix& eta, const RaceLimits& limits = {});
    // The colony's start, in the pass that makes the task's terms: eta^beta
    // from the value density (the terms over the amounts), `tau` written as
    // initial_pheromone evaporated once, and the first iteration's weights
    // from initial_pheromone; the first prepare_iteration_and_evaporate then
    // has nothing left to do. `tau` is row-major, of the task's shape.
    AntConstruction(const Task& task, FloatMatrix& tau, const AntColonyParameters& parameters,
                    const RaceLimits& limits = {});
    void prepare_iteration();
    // The same, and `tau`, the colony's own (the matrix the ants were given),
    // evaporates to tau * (1 - rho) in the same pass, which reads every
    // cell's tau anyway: the ants do not read it.
    void prepare_iteration_and_evaporate(FloatMatrix& tau);
    // The deposit of the last ants of an iteration (as `deposit` makes it),
    // and in the same pass over tau the next iteration's weights and
    // evaporation, which then has nothing left to prepare.
    void deposit_and_prepare(FloatMatrix& tau, double scale, const std::vector<Selection>& ants);
    // The colony's deposit scale of `task` (the ants' task), from the sums
    // that the pass over its cells gathered.
    double deposit_scale(const Task& task) const;
    Selection construct(RandomGenerator& generator, std::size_t worker);
    // An ant whose value value_ants makes later, together with the other
    // ants of its window, where that is faster than one at a time (NaN until
    // then); elsewhere the same as construct.
    Selection construct_unvalued(RandomGenerator& generator, std::size_t worker);
    // The values of the ants construct_unvalued left without (any ant's
    // value is made again, the same).
    void value_ants(std::vector<Selection>& ants);
    void recycle(Selection&& done, std::size_t worker) { recycle_selection(scratch_.at(worker), std::move(done)); }
    // The weights come from tau in prepare_iteration; construct does not read it.
    static constexpr bool weights_taken_before_running = true;

private:
    void prepare(double* evaporated);

    const FloatMatrix& tau_;
    const AntColonyParameters& parameters_;
    RaceLimits limits_;
    RaceTask task_;
    // pow(eta, beta) for every row-major cell: eta does not change.
    AlignedBuffer<double> eta_power_;
    RaceWeights weights_;
    std::vector<RaceScratch> scratch_;
    // The next iteration's weights are made and tau evaporated already.
    bool prepared_ = false;
};

}  // namespace allotra
