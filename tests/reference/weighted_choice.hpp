// Draws one index among n with probability proportional to its weight, by a
// table of running sums and a binary search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "kernel/random/random.hpp"
#include "race/candidate_rule.hpp"

namespace allotra {

// The constructions pass only weights > 0 and never an empty list, so none of
// these occurs in a solve; they stay so that a list that breaks the rule ends
// the construction instead of drawing from a table of nonsense sums.
enum class BuildFailure { empty_list, invalid_weight, all_weights_zero };

struct WeightedChoice {
    std::vector<double> cumulative;  // entry k is w0 + ... + wk, the last sum left out
    double total = 0.0;
};

// A uniform number in [0, 1 - 2^-52]: the top 52 bits of one 64-bit value as
// the fraction of a double in [1, 2), minus 1.
double unit_from_bits(std::uint64_t v);

// A total of +infinity is an internal error whose message ends with
// "NonFinite"; the three ordinary build failures are returned.
std::variant<WeightedChoice, BuildFailure> build_weighted_choice(std::span<const double> weights);

// The number of running sums that are <= r, for r = u * total. A value
// exactly on a running sum selects the later item.
std::size_t choose_index(const WeightedChoice& choice, double u);

// One draw: consumes exactly one 64-bit value of the generator.
std::size_t draw_index(const WeightedChoice& choice, RandomGenerator& generator);


}  // namespace allotra
