// What every construction of a batch shares for one set of weights: the
// scales of the keys, the first step's total and where the bins sit.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "kernel/error.hpp"
#include "kernel/pool/chunked.hpp"
#include "kernel/pool/setup_pass.hpp"
#include "race/bins.hpp"
#include "race/candidate_rule.hpp"
#include "race/groups.hpp"
#include "race/weights.hpp"

namespace allotra {

namespace {

std::atomic<void (*)(const testing::PreparedRace&)> prepared_hook{nullptr};

// Tells the test's hook, if any, what the weights made of the race.
void report_prepared(const RaceWeights& weights, double lightest_fitting) {
    void (*hook)(const testing::PreparedRace&) = prepared_hook.load(std::memory_order_acquire);
    if (hook == nullptr) return;
    const std::vector<RaceGroups::Group>& groups = weights.groups.groups;
    const auto merged = std::count_if(groups.begin(), groups.end(), [](const auto& g) { return g.merged; });
    hook({weights.groups.active, weights.groups.active ? groups.size() : 0,
          weights.groups.active ? static_cast<std::uint64_t>(merged) : 0,
          std::log2(weights.largest / lightest_fitting), &weights});
}

}  // namespace

namespace testing {
void set_prepared_hook(void (*hook)(const PreparedRace&)) { prepared_hook.store(hook, std::memory_order_release); }
}  // namespace testing

void finish_race_weights(RaceWeights& weights, const RaceTask& task, const RaceLimits& limits,
                         const std::vector<WeightFacts>& chunks) {
    const std::uint64_t count = task.cells;
    const double* w = weights.weight.data();
    const std::int64_t* amount = task.amount;

    WeightFacts all;
    for (const WeightFacts& facts : chunks) all.add(facts);
    const bool readmission = all.readmission;
    const bool all_finite = all.all_finite;  // every drawable weight
    const double largest_fitting = all.largest_fitting;
    const double lightest_fitting = all.lightest_fitting;
    const double largest = all.largest;
    const std::uint64_t drawable_cells = all.drawable_cells;
    const std::uint64_t fitting_cells = all.fitting_cells;
    const WideInt together = all.together;
    // Whether a total is finite is all that is asked of it, and it must be
    // the answer for the sum that a step-by-step draw forms, in row-major
    // order. Sums of the same positive terms in any order differ by far less
    // than a factor 2, so only a total near the largest double is formed
    // again in that order.
    const auto in_order = [&](double any_order, bool first_step) {
        if (any_order < 0x1p1022) return any_order;
        entering_setup_pass("total in order");
        double total = 0.0;
        for (std::uint64_t cell = 0; cell < count; ++cell) {
            if (cell % stop_check_cells == 0) stop_if_requested();
            if (drawable(w[cell]) && (!first_step || fits(0, amount[cell], task.b_total))) total += w[cell];
        }
        return total;
    };
    const double first_total = in_order(all.first_total, true);
    const double all_total = readmission ? in_order(all.all_total, false) : 0.0;
    weights.readmission = readmission;
    weights.first_total = first_total;
    // Every later candidate set is a subset of the first one unless freed
    // budget lets cells back; otherwise a later total can be infinite only if
    // all of them together are.
    weights.recheck_totals = readmission && !(all_finite && std::isfinite(all_total));
    // With no negative amount, a cell that does not fit the empty selection
    // never fits: its weight must not set the scale, or lighter cells could
    // all get infinite keys. Only infinite weights: their scale is 0 either way.
    weights.largest = readmission ? largest : largest_fitting;
    if (weights.largest == 0.0) weights.largest = 1.0;

    if (readmission) {
        if (weights.weight_by_amount.size != count || !weights.weight_by_amount.storage) {
            weights.weight_by_amount = unwritten_buffer<double>(count);
        }
        entering_setup_pass("weights by amount");
        double* ordered = weights.weight_by_amount.data();
        const CellOrder& order = task.by_amount;
        run_in_chunks(count, [&](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t p = begin; p < end; ++p) ordered[p] = drawable(w[order[p]]) ? w[order[p]] : 0.0;
        });
    }

    const std::uint64_t candidates = readmission ? drawable_cells : fitting_cells;
    weights.candidates = candidates;
    weights.all_fit = !readmission && together <= WideInt(task.b_total);
    weights.bin_base = 0;
    // A race that skips reads a cell's scale so seldom that it divides
    // instead of keeping 8 bytes a cell for it.
    // An infinite weight that fits is refused by every construction (its
    // scale, 0, has no class).
    weights.groups.active = false;
    if (!readmission && !weights.all_fit && std::isfinite(first_total)) {
        group_race_cells(weights.groups, {w, weights.largest, weights.largest / lightest_fitting, candidates}, task,
                         limits);
    }
    report_prepared(weights, lightest_fitting);
    if (weights.groups.active) {
        weights.scale = {};
        return;
    }
    if (weights.scale.size != count || !weights.scale.storage) weights.scale = unwritten_buffer<double>(count);
    entering_setup_pass("scales");
    double* scale = weights.scale.data();
    const double top = weights.largest;
    run_in_chunks(count, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) {
            const bool in_race = drawable(w[cell]) && (readmission || fits(0, amount[cell], task.b_total));
            scale[cell] = in_race ? top / w[cell] : -1.0;
        }
    });
    if (!weights.all_fit && candidates > limits.sort_limit) {
        weights.bin_base = estimate_bin_base(
            count, [](std::uint64_t p) { return p; }, scale, amount, task.b_total, bin_shape(count, limits));
    }
}

}  // namespace allotra
