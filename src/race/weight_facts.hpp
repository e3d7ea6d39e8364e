// What a set of weights tells the race before its constructions run, gathered
// in the pass that makes the weights: chunk by chunk, then added up.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kernel/wide_int.hpp"
#include "race/candidate_rule.hpp"

namespace allotra {

// What a chunk of cells tells of the weights.
struct WeightFacts {
    bool readmission = false;
    bool all_finite = true;
    double first_total = 0.0;
    double all_total = 0.0;
    double largest_fitting = 0.0;
    double lightest_fitting = HUGE_VAL;
    double largest = 0.0;
    std::uint64_t drawable_cells = 0;
    std::uint64_t fitting_cells = 0;
    WideInt together = 0;  // the amounts of the cells that fit the empty selection

    void add(const WeightFacts& other) {
        readmission = readmission || other.readmission;
        all_finite = all_finite && other.all_finite;
        first_total += other.first_total;
        all_total += other.all_total;
        largest_fitting = std::max(largest_fitting, other.largest_fitting);
        lightest_fitting = std::min(lightest_fitting, other.lightest_fitting);
        largest = std::max(largest, other.largest);
        drawable_cells += other.drawable_cells;
        fitting_cells += other.fitting_cells;
        together = wide_sum(together, other.together);
    }

};

// The facts of one chunk, a cell at a time; kept in registers, not in shared
// memory. Two running sums of each total: their order does not matter here
// (whether a total is finite is all that is asked of it).
class ChunkFacts {
public:
    explicit ChunkFacts(std::int64_t budget) : budget_(budget) {}

    void note(std::uint64_t cell, double weight, std::int64_t amount) {
        if (!drawable(weight)) return;
        ++facts_.drawable_cells;
        facts_.readmission = facts_.readmission || amount < 0;
        const bool finite = std::isfinite(weight);
        facts_.all_finite = facts_.all_finite && finite;
        all_totals_[cell & 1] += weight;
        if (finite) facts_.largest = std::max(facts_.largest, weight);
        if (amount <= budget_) {  // fits the empty selection
            first_totals_[cell & 1] += weight;
            ++facts_.fitting_cells;
            facts_.together += amount;
            if (finite) facts_.largest_fitting = std::max(facts_.largest_fitting, weight);
            facts_.lightest_fitting = std::min(facts_.lightest_fitting, weight);
        }
    }

    WeightFacts facts() const {
        WeightFacts facts = facts_;
        facts.first_total = first_totals_[0] + first_totals_[1];
        facts.all_total = all_totals_[0] + all_totals_[1];
        return facts;
    }

private:
    std::int64_t budget_;
    WeightFacts facts_;
    double first_totals_[2] = {0.0, 0.0};
    double all_totals_[2] = {0.0, 0.0};
};

}  // namespace allotra
