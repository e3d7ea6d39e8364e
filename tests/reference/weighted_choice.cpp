#include "weighted_choice.hpp"

#include <bit>
#include <limits>

#include "kernel/error.hpp"

namespace allotra {

double unit_from_bits(std::uint64_t v) {
    return std::bit_cast<double>((v >> 12) | 0x3FF0000000000000ull) - 1.0;
}

std::variant<WeightedChoice, BuildFailure> build_weighted_choice(std::span<const double> weights) {
    if (weights.empty()) return BuildFailure::empty_list;
    // Written as !(w >= 0.0) so that NaN is refused along with negatives.
    if (!(weights[0] >= 0.0)) return BuildFailure::invalid_weight;

    WeightedChoice choice;
    choice.cumulative.reserve(weights.size() - 1);
    double total = weights[0];
    for (std::size_t k = 1; k < weights.size(); ++k) {
        if (!(weights[k] >= 0.0)) return BuildFailure::invalid_weight;
        choice.cumulative.push_back(total);
        total += weights[k];
    }
    if (total == 0.0) return BuildFailure::all_weights_zero;
    check_total_is_finite(total);

    choice.total = total;
    return choice;
}

std::size_t choose_index(const WeightedChoice& choice, double u) {
    // One rounded product, nothing for the compiler to fuse it with. It is
    // the value of u * total + 0.0 with the product rounded first: adding 0.0
    // to a product that is never negative changes no bit.
    const double r = u * choice.total;

    const std::vector<double>& cumulative = choice.cumulative;
    std::size_t size = cumulative.size();
    if (size == 0) return 0;
    std::size_t base = 0;
    while (size > 1) {
        std::size_t half = size / 2;
        std::size_t mid = base + half;
        if (r >= cumulative[mid]) base = mid;
        size -= half;
    }
    return r >= cumulative[base] ? base + 1 : base;
}

std::size_t draw_index(const WeightedChoice& choice, RandomGenerator& generator) {
    return choose_index(choice, unit_from_bits(generator.next_u64()));
}

}  // namespace allotra
