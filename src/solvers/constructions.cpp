// Each solver's weights, made ready for the race: the value density once a
// solve, the ants' tau^alpha * eta^beta once an iteration.
#include "solvers/constructions.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kernel/error.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "kernel/simd/taken_cells.hpp"
#include "race/result.hpp"
#include "solvers/ant_colony.hpp"

namespace allotra {

ProbabilisticConstruction::ProbabilisticConstruction(const Task& task, const FloatMatrix& density,
                                                     const RaceLimits& limits)
    : limits_(limits), task_(race_task(task, limits)), scratch_(pool_size() + 1) {
    if (density.rows != task.m || density.cols != task.n) fail("the weights do not have the task's shape");
    const std::uint64_t n = task.n;
    prepare_race_weights(weights_, task_, limits_,
                         [&density, n](std::uint64_t cell) { return *density.ptr(cell / n, cell % n); });
    weights_.groups.codes = {};  // no other set of weights comes
}

ProbabilisticConstruction::ProbabilisticConstruction(const Task& task, const RaceLimits& limits)
    : limits_(limits), scratch_(pool_size() + 1) {
    const std::uint64_t cells = task.m == 0 || task.n == 0 ? 0 : checked_element_count(task.m, task.n);
    std::vector<WeightFacts> chunks((cells + default_chunk - 1) / default_chunk);
    weights_.weight = unwritten_buffer<double>(cells);
    task_ = race_task(task, limits, [&](const RaceTask& race, std::uint64_t begin, std::uint64_t end) {
        // The value density, ((1 - omega) * c) / b_ij, 0 where b_ij is 0: a
        // term is the same product.
        chunks[begin / default_chunk] = weigh_cells(weights_, race, begin, end, [&race](std::uint64_t cell) {
            const std::int64_t b = race.amount[cell];
            return b != 0 ? race.term(cell) / static_cast<double>(b) : 0.0;
        });
    });
    finish_race_weights(weights_, task_, limits_, chunks);
    weights_.groups.codes = {};  // no other set of weights comes
}

Selection ProbabilisticConstruction::construct(RandomGenerator& generator, std::size_t worker, double must_beat) {
    return construct_race(task_, weights_, scratch_.at(worker), generator, limits_, must_beat);
}

AntConstruction::AntConstruction(const Task& task, const FloatMatrix& tau, const AntColonyParameters& parameters,
                                 const FloatMatrix& eta, const RaceLimits& limits)
    : tau_(tau), parameters_(parameters), limits_(limits), task_(race_task(task, limits)),
      eta_power_(unwritten_buffer<double>(task_.cells)), scratch_(pool_size() + 1) {
    if (tau.rows != task.m || tau.cols != task.n || eta.rows != task.m || eta.cols != task.n) {
        fail("the pheromone or heuristic matrix does not have the task's shape");
    }
    if (task_.cells > 1 && !tau.is_row_major()) fail("the pheromone matrix is not row-major");
    const double beta = parameters.beta;
    const std::uint64_t n = task.n;
    double* power = eta_power_.data();
    run_in_chunks(task_.cells, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) power[cell] = std::pow(*eta.ptr(cell / n, cell % n), beta);
    });
}

AntConstruction::AntConstruction(const Task& task, FloatMatrix& tau, const AntColonyParameters& parameters,
                                 const RaceLimits& limits)
    : tau_(tau), parameters_(parameters), limits_(limits), scratch_(pool_size() + 1) {
    const std::uint64_t cells = task.m == 0 || task.n == 0 ? 0 : checked_element_count(task.m, task.n);
    if (tau.rows != task.m || tau.cols != task.n) fail("the pheromone matrix does not have the task's shape");
    if (cells > 1 && !tau.is_row_major()) fail("the pheromone matrix is not row-major");
    eta_power_ = unwritten_buffer<double>(cells);
    weights_.weight = unwritten_buffer<double>(cells);
    std::vector<WeightFacts> chunks((cells + default_chunk - 1) / default_chunk);
    const double beta = parameters.beta;
    const double initial = parameters.initial_pheromone;
    const double evaporated = initial * (1.0 - parameters.rho);
    const double pheromone = parameters.alpha == 1.0 ? initial : std::pow(initial, parameters.alpha);
    double* power = eta_power_.data();
    double* kept = tau.elements.get();
    task_ = race_task(task, limits, [&](const RaceTask& race, std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) {
            const std::int64_t b = race.amount[cell];
            power[cell] = std::pow(b != 0 ? race.term(cell) / static_cast<double>(b) : 0.0, beta);
            kept[cell] = evaporated;
        }
        chunks[begin / default_chunk] =
            weigh_cells(weights_, race, begin, end, [=](std::uint64_t cell) { return pheromone * power[cell]; });
    });
    finish_race_weights(weights_, task_, limits_, chunks);
    prepared_ = true;
}

void AntConstruction::prepare(double* evaporated) {
    // The start made the first iteration's weights and evaporated tau.
    if (std::exchange(prepared_, false)) return;
    // A cell's weight does not depend on what an ant chose before, so it is
    // computed once per iteration instead of per ant and step: the same
    // product pow(tau, alpha) * pow(eta, beta). pow(tau, 1) is tau itself:
    // a faithfully rounded pow returns a representable result exactly.
    const double alpha = parameters_.alpha;
    const double keep = 1.0 - parameters_.rho;
    const double* tau = tau_.elements.get();
    const double* power = eta_power_.data();
    prepare_race_weights(weights_, task_, limits_, [=](std::uint64_t cell) {
        const double pheromone = tau[cell];
        if (evaporated != nullptr) evaporated[cell] = pheromone * keep;
        return (alpha == 1.0 ? pheromone : std::pow(pheromone, alpha)) * power[cell];
    });
}

void AntConstruction::deposit_and_prepare(FloatMatrix& tau, double scale, const std::vector<Selection>& ants) {
    if (&tau != &tau_) fail("the colony deposits into a pheromone matrix its ants were not given");
    std::vector<double> deposits;
    deposits.reserve(ants.size());
    for (const Selection& ant : ants) deposits.push_back(ant.value / scale);
    const double alpha = parameters_.alpha;
    const double keep = 1.0 - parameters_.rho;
    double* pheromone = tau.elements.get();
    const double* power = eta_power_.data();
    ready_weight_buffer(weights_, task_);
    std::vector<WeightFacts> chunks((task_.cells + default_chunk - 1) / default_chunk);
    // The chunks of `deposit`: each cell receives the ants' deposits in ant
    // order, then gives its weight and evaporates, as prepare would.
    run_in_chunks(task_.cells, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::size_t a = 0; a < ants.size(); ++a) {
            const std::vector<std::uint64_t>& taken = ants[a].taken;
            add_where_taken(pheromone, taken.data(), begin, std::min<std::uint64_t>(end, taken.size() * 64),
                            deposits[a]);
        }
        chunks[begin / default_chunk] = weigh_cells(weights_, task_, begin, end, [&](std::uint64_t cell) {
            const double deposited = pheromone[cell];
            pheromone[cell] = deposited * keep;
            return (alpha == 1.0 ? deposited : std::pow(deposited, alpha)) * power[cell];
        });
    });
    finish_race_weights(weights_, task_, limits_, chunks);
    prepared_ = true;
}

double AntConstruction::deposit_scale(const Task& task) const {
    return deposit_scale_of(task, task_.amount_total, task_.top_value);
}

void AntConstruction::prepare_iteration() { prepare(nullptr); }

void AntConstruction::prepare_iteration_and_evaporate(FloatMatrix& tau) {
    if (&tau != &tau_) fail("the colony evaporates a pheromone matrix its ants were not given");
    prepare(tau.elements.get());
}

Selection AntConstruction::construct(RandomGenerator& generator, std::size_t worker) {
    return construct_race(task_, weights_, scratch_.at(worker), generator, limits_);
}

Selection AntConstruction::construct_unvalued(RandomGenerator& generator, std::size_t worker) {
    if (!values_together(task_)) return construct(generator, worker);
    return construct_race_unvalued(task_, weights_, scratch_.at(worker), generator, limits_);
}

void AntConstruction::value_ants(std::vector<Selection>& ants) {
    if (values_together(task_)) value_selections(task_, ants);
}

}  // namespace allotra
