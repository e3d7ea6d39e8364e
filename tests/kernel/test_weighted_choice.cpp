// Building the running-sum table, its failures, the mapping from a drawn
// number to an index (ties go to the later item) and the frequencies of draws.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "harness.hpp"
#include "kernel/error.hpp"
#include "kernel/random/random.hpp"
#include "weighted_choice.hpp"

namespace {

using allotra::BuildFailure;
using allotra::WeightedChoice;

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

WeightedChoice built(const std::vector<double>& weights) {
    auto result = allotra::build_weighted_choice(weights);
    REQUIRE(std::holds_alternative<WeightedChoice>(result));
    return std::get<WeightedChoice>(std::move(result));
}

bool fails_with(const std::vector<double>& weights, BuildFailure expected) {
    auto result = allotra::build_weighted_choice(weights);
    return std::holds_alternative<BuildFailure>(result) && std::get<BuildFailure>(result) == expected;
}

// The message of the internal error raised by building, or "" if none.
std::string internal_error_of(const std::vector<double>& weights) {
    try {
        (void)allotra::build_weighted_choice(weights);
    } catch (const allotra::InternalError& e) {
        return e.what();
    }
    return "";
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The largest u the generator can produce.
const double u_max = 1.0 - std::ldexp(1.0, -52);

}  // namespace

TEST(weighted_choice_build_table) {
    WeightedChoice choice = built({1.0, 1.0, 2.0});
    CHECK(choice.cumulative == std::vector<double>({1.0, 2.0}));
    CHECK_EQ(choice.total, 4.0);

    // Sums are rounded left to right: 0.1 + 0.2 is not 0.3.
    WeightedChoice tenths = built({0.1, 0.2, 0.3});
    REQUIRE(tenths.cumulative.size() == 2);
    CHECK_EQ(tenths.cumulative[0], 0.1);
    CHECK_EQ(tenths.cumulative[1], 0.1 + 0.2);
    CHECK_EQ(tenths.total, (0.1 + 0.2) + 0.3);

    WeightedChoice single = built({3.0});
    CHECK(single.cumulative.empty());
    CHECK_EQ(single.total, 3.0);
}

TEST(weighted_choice_build_failures) {
    CHECK(fails_with({}, BuildFailure::empty_list));
    CHECK(fails_with({not_a_number}, BuildFailure::invalid_weight));
    CHECK(fails_with({-1.0}, BuildFailure::invalid_weight));
    CHECK(fails_with({-infinity, 1.0}, BuildFailure::invalid_weight));
    CHECK(fails_with({1.0, not_a_number}, BuildFailure::invalid_weight));
    CHECK(fails_with({1.0, 2.0, -0.5}, BuildFailure::invalid_weight));
    CHECK(fails_with({0.0}, BuildFailure::all_weights_zero));
    CHECK(fails_with({0.0, 0.0, 0.0}, BuildFailure::all_weights_zero));
    CHECK(fails_with({-0.0, 0.0}, BuildFailure::all_weights_zero));
    // An invalid weight is found before the total is looked at.
    CHECK(fails_with({infinity, not_a_number}, BuildFailure::invalid_weight));
    CHECK(fails_with({0.0, -1.0}, BuildFailure::invalid_weight));
}

TEST(weighted_choice_infinite_total_is_internal_error) {
    WeightedChoice huge = built({1e300, 1e300});
    CHECK_EQ(huge.total, 2e300);
    CHECK_EQ(allotra::choose_index(huge, 0.25), std::size_t{0});
    CHECK_EQ(allotra::choose_index(huge, 0.75), std::size_t{1});

    std::string overflow = internal_error_of({1.7e308, 1.7e308});
    CHECK(ends_with(overflow, "NonFinite"));
    CHECK(ends_with(internal_error_of({infinity}), "NonFinite"));
    CHECK(ends_with(internal_error_of({1.0, infinity, 2.0}), "NonFinite"));
    CHECK_THROWS_WITH(allotra::build_weighted_choice(std::vector<double>{0.0, infinity}), allotra::InternalError,
                      "NonFinite");
}

TEST(weighted_choice_ties_go_to_the_later_item) {
    WeightedChoice pair = built({1.0, 1.0});  // r = 2u, boundary at 1.0
    CHECK_EQ(allotra::choose_index(pair, 0.0), std::size_t{0});
    CHECK_EQ(allotra::choose_index(pair, 0.25), std::size_t{0});
    CHECK_EQ(allotra::choose_index(pair, std::nextafter(0.5, 0.0)), std::size_t{0});
    CHECK_EQ(allotra::choose_index(pair, 0.5), std::size_t{1});  // r = 1.0 exactly
    CHECK_EQ(allotra::choose_index(pair, u_max), std::size_t{1});

    WeightedChoice three = built({1.0, 1.0, 2.0});  // r = 4u, boundaries 1 and 2
    CHECK_EQ(allotra::choose_index(three, std::nextafter(0.25, 0.0)), std::size_t{0});
    CHECK_EQ(allotra::choose_index(three, 0.25), std::size_t{1});
    CHECK_EQ(allotra::choose_index(three, std::nextafter(0.5, 0.0)), std::size_t{1});
    CHECK_EQ(allotra::choose_index(three, 0.5), std::size_t{2});
    CHECK_EQ(allotra::choose_index(three, u_max), std::size_t{2});
}

TEST(weighted_choice_zero_weight_never_chosen) {
    WeightedChoice gap = built({1.0, 0.0, 1.0});
    CHECK(gap.cumulative == std::vector<double>({1.0, 1.0}));
    CHECK_EQ(allotra::choose_index(gap, 0.5), std::size_t{2});  // r = 1.0 exactly
    for (int step = 0; step <= 4096; ++step) {
        double u = std::min(step / 4096.0, u_max);
        CHECK(allotra::choose_index(gap, u) != std::size_t{1});
    }
    // A weight too small to move the rounded running sum is never chosen either.
    WeightedChoice tiny = built({1.0, 1e-300, 1.0});
    CHECK_EQ(allotra::choose_index(tiny, 0.5), std::size_t{2});
}

TEST(weighted_choice_single_item_consumes_one_value) {
    WeightedChoice single = built({0.5});
    const allotra::ChaChaKey key{};
    allotra::RandomGenerator drawing = allotra::RandomGenerator::from_key(key);
    allotra::RandomGenerator reference = allotra::RandomGenerator::from_key(key);
    for (int i = 0; i < 3; ++i) {
        CHECK_EQ(allotra::draw_index(single, drawing), std::size_t{0});
        reference.next_u64();
    }
    CHECK_EQ(drawing.next_u64(), reference.next_u64());
}

TEST(weighted_choice_draw_uses_one_value_mapped_to_unit) {
    WeightedChoice choice = built({1.0, 3.0, 0.5, 2.0, 1.5});
    const allotra::ChaChaKey key{};
    allotra::RandomGenerator drawing = allotra::RandomGenerator::from_key(key);
    allotra::RandomGenerator reference = allotra::RandomGenerator::from_key(key);
    for (int i = 0; i < 100; ++i) {
        double u = allotra::unit_from_bits(reference.next_u64());
        CHECK_EQ(allotra::draw_index(choice, drawing), allotra::choose_index(choice, u));
    }
}

TEST(weighted_choice_search_counts_sums_not_above_r) {
    // Against a linear count, on lists of every small length with repeated
    // running sums (zero and negligible weights) and u on and next to each sum.
    allotra::RandomGenerator generator = allotra::RandomGenerator::from_os();
    for (int round = 0; round < 300; ++round) {
        std::size_t n = 1 + static_cast<std::size_t>(round % 40);
        std::vector<double> weights(n);
        for (double& w : weights) {
            std::uint64_t v = generator.next_u64();
            switch (v % 4) {
                case 0: w = 0.0; break;
                case 1: w = 1e-18; break;
                default: w = 0.01 + allotra::unit_from_bits(v); break;
            }
        }
        weights[generator.next_u64() % n] = 1.0;  // never all zero
        WeightedChoice choice = built(weights);

        std::vector<double> us = {0.0, u_max};
        // Kept within the generator's range [0, u_max]: a trailing zero weight
        // puts the last sum at the total, where u would be 1.
        for (double sum : choice.cumulative) {
            double u = sum / choice.total;
            us.push_back(std::min(u, u_max));
            us.push_back(std::min(std::nextafter(u, 0.0), u_max));
            us.push_back(std::min(std::nextafter(u, 1.0), u_max));
        }
        for (int i = 0; i < 20; ++i) us.push_back(allotra::unit_from_bits(generator.next_u64()));

        for (double u : us) {
            double r = u * choice.total;
            std::size_t expected = 0;
            for (double sum : choice.cumulative) expected += sum <= r;
            std::size_t got = allotra::choose_index(choice, u);
            CHECK_EQ(got, expected);
            CHECK(got < n);
            CHECK(weights[got] > 0.0);
        }
    }
}

TEST(weighted_choice_frequencies_follow_weights) {
    // Each count is binomial(draws, p); a bound of 6.5 standard deviations
    // makes a false alarm (all items together) rarer than 1e-9.
    const std::vector<double> weights = {1.0, 0.0, 2.5, 0.5, 4.0};
    WeightedChoice choice = built(weights);
    constexpr int draws = 1000000;
    std::vector<int> counts(weights.size(), 0);
    allotra::RandomGenerator& generator = allotra::thread_generator();
    for (int i = 0; i < draws; ++i) {
        std::size_t index = allotra::draw_index(choice, generator);
        REQUIRE(index < weights.size());
        ++counts[index];
    }
    const double total = 8.0;
    for (std::size_t k = 0; k < weights.size(); ++k) {
        double p = weights[k] / total;
        double expected = draws * p;
        double sigma = std::sqrt(draws * p * (1.0 - p));
        if (p == 0.0) {
            CHECK_EQ(counts[k], 0);
        } else if (std::fabs(counts[k] - expected) > 6.5 * sigma) {
            ::kernel_tests::record_failure(__FILE__, __LINE__,
                                           "item " + std::to_string(k) + " drawn " + std::to_string(counts[k]) +
                                               " times, expected about " + std::to_string(expected));
        }
    }
}
