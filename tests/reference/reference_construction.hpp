// The reference form of a construction, shared by both solvers: at every step
// rescan all cells in row-major order, collect the candidates (candidate_rule.hpp)
// and draw one in proportion to its weight with the weighted choice, until
// none is left. It is the oracle that the module's constructions are held
// against in the native tests and the benchmarks.
#pragma once

#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "kernel/matrix.hpp"
#include "objective.hpp"
#include "kernel/random/random.hpp"
#include "kernel/solution.hpp"
#include "weighted_choice.hpp"
#include "model/task.hpp"
#include "race/candidate_rule.hpp"

namespace allotra {

// `weight(i, j)` gives the weight of a free cell that fits.
template <typename Weight>
Solution construct_reference(const Task& task, Weight&& weight, RandomGenerator& generator) {
    IntMatrix x = zero_int_matrix(task.m, task.n);
    WideInt used = 0;
    struct Cell {
        std::uint64_t i, j;
    };
    std::vector<Cell> candidates;
    std::vector<double> weights;
    for (;;) {
        if (x.size() == 0) break;  // m may be huge when n is 0
        candidates.clear();
        weights.clear();
        candidates.reserve(x.size());
        weights.reserve(x.size());
        for (std::uint64_t i = 0; i < task.m; ++i) {
            for (std::uint64_t j = 0; j < task.n; ++j) {
                if (x.at(i, j) != 0) continue;
                if (!fits(used, task.b_ij.at(i, j), task.b_total)) continue;
                const double w = weight(i, j);
                if (!drawable(w)) continue;
                candidates.push_back({i, j});
                weights.push_back(w);
            }
        }
        if (candidates.empty()) break;
        auto built = build_weighted_choice(weights);  // an infinite total fails here
        if (!std::holds_alternative<WeightedChoice>(built)) break;
        const Cell chosen = candidates[draw_index(std::get<WeightedChoice>(built), generator)];
        x.at(chosen.i, chosen.j) = 1;
        used += task.b_ij.at(chosen.i, chosen.j);
    }
    const double value = objective(x, task.c, task.omega);
    return Solution{std::move(x), value};
}

}  // namespace allotra
