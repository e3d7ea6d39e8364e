// The race at its edges: weights further apart than a double's range, stops
// inside one construction, the limits it is built for, the block sums that
// draw the cells of races with negative amounts, and the law of such races on
// a grid above every size threshold.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "cell_list.hpp"
#include "construction_forms.hpp"
#include "harness.hpp"
#include "kernel/error.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "race/block_sums.hpp"
#include "race/scale_class.hpp"
#include "race/weights.hpp"
#include "weighted_choice.hpp"

namespace {

using namespace allotra::construction_tests;
using allotra::FloatMatrix;
using allotra::RaceLimits;
using allotra::Selection;
using allotra::Task;

// The forms of the module's race (the reference has no keys to overflow).
constexpr Form race_forms[] = {Form::module,   Form::sorted,           Form::binned,  Form::replayed,
                               Form::shaped,   Form::skipping,         Form::skipping_exactly,
                               Form::merging,  Form::merging_exactly};

Construct probabilistic_with(const Task& task, const FloatMatrix& density, const RaceLimits& limits) {
    return construct_with<allotra::ProbabilisticConstruction>(task, density, limits);
}

// How many of `runs` constructions chose exactly `expected`.
int times_chosen(const Construct& construct, const std::vector<std::uint64_t>& expected, int runs) {
    int hits = 0;
    for (int run = 0; run < runs; ++run) {
        const allotra::CellList cells = allotra::cells_of(construct());
        hits += std::equal(cells.begin(), cells.end(), expected.begin(), expected.end());
    }
    return hits;
}

}  // namespace

TEST(race_orders_weights_beyond_a_doubles_range) {
    // A cell that never fits weighs 1e293; the others weigh 1e-80 and the
    // last 1e-60, more than 2^1024 below it. The law takes the last cell
    // with probability 1 - 1e-18 (one cell fits the budget); infinite keys
    // tied by index would take the first light cell instead.
    for (std::uint64_t n : {30u, 50u, 70u, 200u}) {
        std::vector<double> weights(n, 1e-80);
        std::vector<std::int64_t> amounts(n, 10000);
        weights[0] = 1e293;
        amounts[0] = 20000;
        weights[n - 1] = 1e-60;
        for (bool with_negative : {false, true}) {
            // A cell of amount -1 makes it the race with negative amounts,
            // where every drawable cell, however heavy, is in the race.
            if (with_negative) amounts[1] = -1;
            const Task task = task_of(1, n, amounts, 10000);
            const FloatMatrix density = matrix_of(1, n, weights, false);
            const std::vector<std::uint64_t> expected =
                with_negative ? std::vector<std::uint64_t>{1, n - 1} : std::vector<std::uint64_t>{n - 1};
            for (Form form : race_forms) {
                const int hits = times_chosen(probabilistic_in(form, task, density), expected, 500);
                if (hits != 500) std::printf("  %s, %llu cells: %d of 500\n", name_of(form), (unsigned long long)n, hits);
                CHECK_EQ(hits, 500);
            }
        }
    }
}

TEST(race_takes_a_ladder_of_weights_in_order) {
    // Weights 2^1000, 2^960, ... 2^-960: each cell outweighs all the lighter
    // ones together by 2^39, so the budget of 30 cells takes the 30 heaviest
    // unless an event of odds below 1e-10 occurs.
    const std::uint64_t n = 50;
    std::vector<double> weights(n);
    for (std::uint64_t k = 0; k < n; ++k) weights[k] = std::ldexp(1.0, 1000 - 40 * static_cast<int>(k));
    std::vector<std::uint64_t> heaviest(30);
    for (std::uint64_t k = 0; k < 30; ++k) heaviest[k] = k;
    const FloatMatrix density = matrix_of(1, n, weights, false);
    for (bool with_negative : {false, true}) {
        std::vector<std::int64_t> amounts(n, 1);
        // A cell of amount 0 alongside is taken too; -1 gives one more cell.
        if (with_negative) amounts[49] = -1;
        const Task task = task_of(1, n, amounts, 30);
        std::vector<std::uint64_t> expected = heaviest;
        if (with_negative) {
            expected.push_back(30);
            expected.push_back(49);
        }
        for (Form form : race_forms) {
            for (RaceLimits limits : {limits_of(form), RaceLimits{.step_limit = 0, .sort_limit = 0}}) {
                if (form == Form::module) limits = {};
                const int hits = times_chosen(probabilistic_with(task, density, limits), expected, 300);
                if (hits != 300) std::printf("  %s: %d of 300\n", name_of(form), hits);
                CHECK_EQ(hits, 300);
            }
        }
    }
}

namespace {

allotra::ChaChaKey counted_key() {
    static std::uint8_t count = 0;
    allotra::ChaChaKey key{};
    key[0] = ++count;
    return key;
}

// The number of values `after` has read beyond `before`, up to `most`.
std::uint64_t values_read(allotra::RandomGenerator before, allotra::RandomGenerator after, std::uint64_t most) {
    std::vector<std::uint64_t> next(4);
    for (std::uint64_t& value : next) value = after.next_u64();
    for (std::uint64_t read = 0; read <= most; ++read) {
        allotra::RandomGenerator probe = before;
        bool same = true;
        for (std::uint64_t value : next) same = same && probe.next_u64() == value;
        if (same) return read;
        before.next_u64();
    }
    return most + 1;
}

}  // namespace

TEST(race_stops_inside_a_construction) {
    // A stop already requested ends every form of the race within one slice
    // of random values, on grids of many slices, with and without negative
    // amounts, whatever the path.
    allotra::testing::set_key_source(&counted_key);
    const std::uint64_t m = 60, n = 100;
    allotra::RandomGenerator source = allotra::RandomGenerator::from_key(counted_key());
    std::vector<double> weights(m * n);
    for (double& w : weights) w = 0.1 + allotra::unit_from_bits(source.next_u64());
    const FloatMatrix density = matrix_of(m, n, weights, false);
    for (bool with_negative : {false, true}) {
        for (std::int64_t budget : {600, 12000, 1000000}) {
            std::vector<std::int64_t> amounts(m * n);
            for (std::uint64_t k = 0; k < m * n; ++k) {
                amounts[k] = 1 + static_cast<std::int64_t>(k % 7);
                if (with_negative && k % 10 == 3) amounts[k] = -amounts[k];
            }
            const Task task = task_of(m, n, amounts, budget);
            for (Form form : race_forms) {
                const RaceLimits limits = form == Form::module ? RaceLimits{} : limits_of(form);
                allotra::ProbabilisticConstruction construction(task, density, limits);
                allotra::RandomGenerator generator = allotra::RandomGenerator::from_key(counted_key());
                const allotra::RandomGenerator before = generator;
                const allotra::InterruptPoll stop = [] { return true; };
                allotra::InterruptScope scope(stop);
                CHECK_THROWS_WITH(construction.construct(generator, 0), allotra::Cancelled, "cancelled");
                const std::uint64_t read = values_read(before, generator, 3 * limits.slice);
                if (read > limits.slice) std::printf("  %s: %llu values read\n", name_of(form), (unsigned long long)read);
                CHECK(read <= limits.slice);
            }
        }
    }
    allotra::testing::set_key_source(nullptr);
}

TEST(race_refuses_limits_it_is_not_built_for) {
    const Task task = task_of(1, 3, {1, 1, 1}, 2);
    const FloatMatrix density = matrix_of<double>(1, 3, {1.0, 2.0, 3.0}, false);
    for (RaceLimits limits : {RaceLimits{.bins = RaceLimits::max_bins + 1}, RaceLimits{.bins = 0},
                              RaceLimits{.octave_bits = RaceLimits::max_octave_bits + 1}, RaceLimits{.slice = 0}}) {
        CHECK_THROWS_WITH(probabilistic_with(task, density, limits)(), allotra::InternalError, "race's");
    }
    CHECK(probabilistic_with(task, density, RaceLimits{.bins = RaceLimits::max_bins})().taken.size() == 1);
}

TEST(block_sums_match_a_plain_scan) {
    // 40,000 positions make four levels of sums; weights over 600 orders of
    // magnitude, some not drawable, some taken, and heavy ones removed first
    // so that a leftover of theirs would swamp the light ones.
    allotra::RandomGenerator random = allotra::RandomGenerator::from_os();
    const std::uint64_t size = 40000;
    std::vector<double> weight(size);
    std::vector<bool> present(size);
    for (std::uint64_t p = 0; p < size; ++p) {
        const std::uint64_t kind = random.next_u64() % 10;
        weight[p] = kind == 0 ? 0.0 : std::ldexp(0.5 + allotra::unit_from_bits(random.next_u64()),
                                                  static_cast<int>(random.next_u64() % 2000) - 1000);
        present[p] = weight[p] > 0.0 && random.next_u64() % 5 != 0;
    }
    allotra::LargeVector<double> sums;
    allotra::LargeVector<std::uint16_t> free;
    allotra::BlockSums tree(sums, free, weight.data(), size, [&](std::uint64_t p) { return present[p]; });
    std::vector<std::uint64_t> by_weight;
    for (std::uint64_t p = 0; p < size; ++p) {
        if (present[p]) by_weight.push_back(p);
    }
    std::sort(by_weight.begin(), by_weight.end(), [&](std::uint64_t p, std::uint64_t q) { return weight[p] > weight[q]; });
    std::uint64_t removed = 0;
    for (int round = 0; round < 200; ++round) {
        // Exact sums of the present weights, in position order.
        const std::uint64_t end = random.next_u64() % (size + 1);
        double expected = 0.0;
        std::uint64_t last = size;
        for (std::uint64_t p = 0; p < end; ++p) {
            if (present[p]) {
                expected += weight[p];
                last = p;
            }
        }
        const double total = tree.before(end);
        CHECK(std::fabs(total - expected) <= 1e-10 * expected);
        if (expected > 0.0) {
            // u just below a present weight's running sum picks it.
            const double u = std::nextafter(expected, 0.0) * allotra::unit_from_bits(random.next_u64());
            const std::uint64_t found = tree.find(u, end);
            REQUIRE(found < end);
            CHECK(present[found]);
            double before_found = 0.0;
            for (std::uint64_t p = 0; p < found; ++p) before_found += present[p] ? weight[p] : 0.0;
            CHECK(before_found <= u * (1 + 1e-10) && u <= (before_found + weight[found]) * (1 + 1e-10));
            CHECK_EQ(tree.find(total * 2.0, end), last);  // past every running sum: the last present
        } else {
            CHECK_EQ(total, 0.0);
        }
        for (int k = 0; k < 150 && removed < by_weight.size(); ++k) {
            present[by_weight[removed]] = false;
            tree.remove(by_weight[removed++]);
        }
    }
}

namespace {

// Cells of one kind: the same amount and weight.
struct CellClass {
    std::int64_t amount;
    double weight;
};

// How many cells of each class one construction takes.
using ClassCounts = std::vector<double>;

// The law drawn directly, one step at a time: cells of a class are alike,
// so a step draws a class in proportion to its free cells' total weight among
// the classes that fit.
ClassCounts sequential_counts(const std::vector<CellClass>& classes, std::vector<std::uint64_t> free,
                              std::int64_t b_total, std::mt19937_64& engine) {
    ClassCounts taken(classes.size(), 0.0);
    allotra::WideInt used = 0;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (;;) {
        double total = 0.0;
        for (std::size_t c = 0; c < classes.size(); ++c) {
            if (free[c] > 0 && used + classes[c].amount <= b_total) total += free[c] * classes[c].weight;
        }
        if (total == 0.0) return taken;
        double u = unit(engine) * total;
        std::size_t chosen = classes.size();
        for (std::size_t c = 0; c < classes.size(); ++c) {
            if (free[c] == 0 || used + classes[c].amount > b_total) continue;
            chosen = c;
            u -= free[c] * classes[c].weight;
            if (u < 0.0) break;
        }
        --free[chosen];
        ++taken[chosen];
        used += classes[chosen].amount;
    }
}

}  // namespace

// Draws a large grid of cells whose class is class_at(engine), with the
// budget `budget_share` of the positive amounts, and checks that the mean
// number of cells taken from each class by the race (under each of the
// limits) matches the direct draw's within 6 standard errors, and that every
// selection keeps the budget and is maximal.
void check_law_on_a_large_grid(const std::vector<CellClass>& classes, std::uint64_t rows, std::uint64_t cols,
                               const std::function<std::size_t(std::mt19937_64&)>& class_at, double budget_share,
                               const std::vector<RaceLimits>& forms, const char* name) {
    const std::uint64_t cells = rows * cols;
    std::mt19937_64 engine(20261208);
    std::vector<std::size_t> class_of(cells);
    std::vector<std::uint64_t> in_class(classes.size(), 0);
    std::vector<std::int64_t> amounts(cells);
    std::vector<double> weights(cells);
    std::int64_t positive = 0;
    for (std::uint64_t cell = 0; cell < cells; ++cell) {
        const std::size_t c = class_at(engine);
        class_of[cell] = c;
        ++in_class[c];
        amounts[cell] = classes[c].amount;
        weights[cell] = classes[c].weight;
        positive += std::max<std::int64_t>(0, classes[c].amount);
    }
    const auto b_total = static_cast<std::int64_t>(static_cast<double>(positive) * budget_share);
    const Task task = task_of(rows, cols, amounts, b_total);
    const FloatMatrix density = matrix_of(rows, cols, weights, false);

    constexpr int samples = 200;
    const auto moments = [&](const std::function<ClassCounts()>& draw) {
        std::vector<double> sum(classes.size(), 0.0), squares(classes.size(), 0.0);
        for (int s = 0; s < samples; ++s) {
            const ClassCounts counts = draw();
            for (std::size_t c = 0; c < classes.size(); ++c) {
                sum[c] += counts[c];
                squares[c] += counts[c] * counts[c];
            }
        }
        std::vector<std::pair<double, double>> mean_and_variance;
        for (std::size_t c = 0; c < classes.size(); ++c) {
            const double mean = sum[c] / samples;
            mean_and_variance.push_back({mean, std::max(0.0, squares[c] / samples - mean * mean)});
        }
        return mean_and_variance;
    };
    const auto direct = moments([&] { return sequential_counts(classes, in_class, b_total, engine); });
    for (std::size_t form = 0; form < forms.size(); ++form) {
        const Construct construct = probabilistic_with(task, density, forms[form]);
        const auto raced = moments([&] {
            const Selection selection = construct();
            ClassCounts counts(classes.size(), 0.0);
            allotra::WideInt used = 0;
            for (std::uint64_t cell : allotra::cells_of(selection)) {
                ++counts[class_of[cell]];
                used += amounts[cell];
            }
            REQUIRE(used <= b_total);
            for (std::size_t c = 0; c < classes.size(); ++c) {
                // Maximal: a class with a free cell left does not fit.
                CHECK(counts[c] == static_cast<double>(in_class[c]) || used + classes[c].amount > b_total);
            }
            return counts;
        });
        for (std::size_t c = 0; c < classes.size(); ++c) {
            const double error = std::sqrt((direct[c].second + raced[c].second) / samples);
            const bool ok = std::fabs(direct[c].first - raced[c].first) <= 6.0 * error + 1e-9;
            if (!ok) {
                std::printf("  %s, budget %.2f, form %zu, class %zu: direct %.2f, raced %.2f (+- %.2f)\n", name,
                            budget_share, form, c, direct[c].first, raced[c].first, error);
            }
            CHECK(ok);
        }
    }
}

TEST(race_with_negative_amounts_follows_the_law_on_a_large_grid) {
    // 70,000 cells (keys read again from the stream), a tenth of them
    // negative, the budget a quarter of the positive amounts: whole bins,
    // the crossing bin with skipped cells, then the cells drawn in turn, with
    // the always-fitting cells keyed or drawn with the rest.
    const std::vector<CellClass> classes{{-40, 1.0}, {-3, 4.0},  {0, 2.0},  {2, 1.0},  {2, 20.0}, {5, 4.0},
                                         {11, 1.0},  {11, 20.0}, {30, 4.0}, {70, 1.0}, {70, 20.0}};
    RaceLimits keyed, drawn;
    drawn.keyed_share = 0.0;
    drawn.narrow_cells = 0;  // cells by amount in 8 bytes
    check_law_on_a_large_grid(
        classes, 280, 250,
        [&](std::mt19937_64& engine) {
            return engine() % 10 == 0 ? engine() % 2 : 2 + engine() % (classes.size() - 2);
        },
        0.25, {keyed, drawn}, "negative amounts");
}

TEST(race_that_skips_follows_the_law_on_a_large_grid) {
    // 70,000 cells (grouped in two pieces of work) in groups of one amount
    // and one class of scale, some with weights in one class that differ in
    // their fine bits (scales 1 and 20 / 16.5), weights 2^20 apart so that
    // intervals scan some classes, sample others by arrivals and take whole
    // ones (the class of 5e4 whole from the first); cells of amount 0 are taken up front. At a tenth of the budget
    // and at half, settled by random bits and bounds or every cell by its
    // scale, with the module's sizes or with groups of any size and members
    // of 8 bytes; and with a first interval whose candidates overflow the
    // budget many times over (their keys put in order through bins) or one
    // far too short; and in bands of amounts ({1, 3}, {8, 20}, {50, 300}), or
    // in the widest bands an offset byte spans ({1 ... 50}, {300}) with a
    // first interval that overflows.
    const std::vector<CellClass> classes{{0, 1.0},  {1, 20.0},    {1, 16.5},  {1, 1.0},  {3, 1.2},     {3, 7.0},
                                         {3, 0.02}, {8, 20.0},    {8, 2e-5},  {8, 3.0},  {20, 16.5},   {20, 1.0},
                                         {20, 4e-3}, {20, 5e4},   {50, 20.0}, {50, 0.5}, {300, 0.5}};
    RaceLimits module, exactly, any_group, overflowing, too_short, banded, one_band;
    banded.band_cells = 20000;
    one_band.band_cells = 1'000'000;
    one_band.first_span_factor = 8.0;
    overflowing.first_span_factor = 8.0;
    too_short.first_span_factor = 1.0 / 64;
    module.skip_share = 1.0;
    exactly.skip_share = 1.0;
    exactly.settle_by_digits = false;
    any_group.skip_share = 1.0;
    any_group.skip_cells = 1;
    any_group.skip_group_cells = 1;
    any_group.run_cells = 1;
    any_group.narrow_cells = 0;
    for (double budget_share : {0.1, 0.5}) {
        check_law_on_a_large_grid(
            classes, 280, 250, [&](std::mt19937_64& engine) { return engine() % classes.size(); }, budget_share,
            {module, exactly, any_group, overflowing, too_short, banded, one_band}, "skipping");
    }
}

TEST(race_that_merges_classes_follows_the_law_on_a_large_grid) {
    // Weights 40 octaves apart in bands of several amounts ({1, 2}, {3, 5},
    // {8}) of at most 3 or 4 groups: a tail over 36 octaves holds the cells
    // where the budget runs out (sampled, then scanned as the intervals
    // grow), pairs of cells in one class 0.7 or 0.8 apart, and members past
    // the farthest place. Settled by bits and bounds or each by its scale.
    const std::vector<CellClass> classes{{1, 1.0},          {8, 0.5},           {2, 0x1p-4},  {3, 0.7 * 0x1p-4},
                                         {1, 0x1p-8},       {5, 0.8 * 0x1p-8},  {8, 0x1p-12}, {2, 0x1p-16},
                                         {3, 0.7 * 0x1p-16}, {5, 0x1p-24},      {1, 0x1p-32}, {8, 0x1p-40},
                                         {2, 0.7 * 0x1p-40}};
    RaceLimits three, four, exactly;
    for (RaceLimits* limits : {&three, &four, &exactly}) limits->band_cells = 25000;
    three.band_groups = exactly.band_groups = 3;
    four.band_groups = 4;
    exactly.settle_by_digits = false;
    for (double budget_share : {0.1, 0.5}) {
        check_law_on_a_large_grid(
            classes, 280, 250,
            [&](std::mt19937_64& engine) {
                const std::size_t k = engine() % 64;
                return k < 4 ? k / 2 : 2 + engine() % (classes.size() - 2);
            },
            budget_share, {three, four, exactly}, "merging");
    }
    // Bands of amount 1, 2 and 3 whose groups start at one class: 2's tail
    // (classes 8 to 16), 1's and 3's own groups of class 8 at other places
    // of it. Scanned in the same intervals, each group has its own odds.
    const std::vector<CellClass> shared{{2, 1.0},           {2, 0x1p-2},        {2, 0x1p-4},
                                        {2, 0x1p-4 / 1.3},  {2, 0x1p-6},        {2, 0x1p-8},
                                        {1, 0x1p-4 / 1.25}, {1, 0x1p-4 / 1.45}, {3, 0x1p-4 / 1.1},
                                        {3, 0x1p-8 / 1.2}};
    RaceLimits own_bands;
    own_bands.band_cells = 1000;
    own_bands.band_groups = 3;
    for (double budget_share : {0.25, 0.5}) {
        check_law_on_a_large_grid(
            shared, 280, 250, [&](std::mt19937_64& engine) { return engine() % shared.size(); }, budget_share,
            {own_bands}, "shared classes");
    }
}

namespace {

std::vector<allotra::testing::PreparedRace> prepared;
void note_prepared(const allotra::testing::PreparedRace& race) { prepared.push_back(race); }

}  // namespace

TEST(colony_keeps_skipping_as_its_weights_spread_past_40_octaves) {
    // 200 x 200 cells of amounts 1 to 100, half of their total to spend, in
    // the module's own limits: the pheromone of a cell that no ant takes
    // halves every iteration (rho 0.5), and its weight falls 3 octaves
    // (alpha 3), past what one group per class of each band would allow.
    std::mt19937_64 engine(31);
    std::vector<std::int64_t> amounts(40000);
    std::int64_t total = 0;
    for (std::int64_t& amount : amounts) total += amount = 1 + static_cast<std::int64_t>(engine() % 100);
    allotra::AntColonyParameters parameters;
    parameters.num_ants = 2;
    parameters.kmax = 20;
    parameters.alpha = 3.0;
    parameters.rho = 0.5;
    prepared.clear();
    allotra::testing::set_prepared_hook(&note_prepared);
    allotra::solve_ant_colony(task_of(200, 200, amounts, total / 2), parameters);
    allotra::testing::set_prepared_hook(nullptr);
    REQUIRE(prepared.size() == parameters.kmax);
    for (const auto& race : prepared) CHECK(race.skipping);
    CHECK(prepared.back().octaves > 40.0 && prepared.back().merged > 0);
}

namespace {

// What the grouping promises, on every set of weights that skips: each
// member lies in its group's classes (a plain group's one class), below its
// group's beyond_scale, which is the least scale of the class after the
// group's last member's; and a band that merges keeps an own group, with a
// merged head before it or a merged tail after it, or both.
struct GroupingSeen {
    int races = 0;
    int merging_bands = 0;
    int heads = 0;
    int tails = 0;
};
GroupingSeen grouping_seen;

void check_grouping(const allotra::testing::PreparedRace& race) {
    using allotra::race_detail::class_of;
    using allotra::race_detail::least_scale_of;
    if (!race.skipping) return;
    ++grouping_seen.races;
    const allotra::RaceWeights& weights = *race.weights;
    const allotra::RaceGroups& grouped = weights.groups;
    const auto& groups = grouped.groups;
    const auto scale_at = [&](std::uint64_t p) {
        const std::uint64_t cell = grouped.narrow.empty() ? grouped.wide[p] : grouped.narrow[p];
        return weights.largest / weights.weight.data()[cell];
    };
    for (std::size_t first = 0, end = 0; first < groups.size(); first = end) {
        // A band's groups: those of its least and greatest amount.
        while (end < groups.size() && groups[end].amount == groups[first].amount &&
               groups[end].top_amount == groups[first].top_amount) {
            ++end;
        }
        std::size_t merged = 0;
        for (std::size_t g = first; g < end; ++g) {
            const allotra::RaceGroups::Group& group = groups[g];
            REQUIRE(group.begin < group.end);
            std::uint64_t last = 0;
            for (std::uint64_t p = group.begin; p < group.end; ++p) {
                const double scale = scale_at(p);
                const std::uint64_t cls = class_of(scale);
                CHECK(cls == group.class_index || (group.merged && cls > group.class_index));
                CHECK(scale < group.beyond_scale);
                last = std::max(last, cls);
            }
            CHECK_EQ(group.least_scale, least_scale_of(group.class_index));
            CHECK_EQ(group.beyond_scale, least_scale_of(last + 1));
            if (g > first) CHECK(groups[g - 1].beyond_scale <= group.least_scale);
            merged += group.merged;
        }
        if (merged == 0) continue;
        ++grouping_seen.merging_bands;
        const bool head = groups[first].merged;
        const bool tail = groups[end - 1].merged && end - first > 1;
        grouping_seen.heads += head;
        grouping_seen.tails += tail;
        CHECK(merged == std::size_t{head} + tail && end - first > merged);
    }
}

}  // namespace

TEST(grouping_keeps_bands_whole_with_few_candidates_a_band) {
    // 2,000 cells that fit, of amounts 1, 2, 3 and 5 (a band each), a tenth
    // of them in the heaviest two octaves and the rest 20 octaves below;
    // 8,000 cells that never fit, in 16 bands of their own: the race's
    // average, 64 candidates a group, allows fewer than 3 groups a band, and
    // a band that merges keeps 3 all the same.
    std::mt19937_64 engine(39);
    const std::uint64_t m = 100, n = 100;
    std::vector<std::int64_t> amounts(m * n);
    std::vector<double> weights(m * n);
    const std::int64_t fitting[] = {1, 2, 3, 5};
    for (std::uint64_t k = 0; k < m * n; ++k) {
        if (k % 5 != 0) {
            amounts[k] = 100000 + static_cast<std::int64_t>(k % 16);
            weights[k] = 1.0;
            continue;
        }
        amounts[k] = fitting[engine() % 4];
        const double unit = allotra::unit_from_bits(engine());
        const int octave = engine() % 10 == 0 ? static_cast<int>(engine() % 2) : 8 + static_cast<int>(engine() % 20);
        weights[k] = std::ldexp(1.0 + unit, -octave);
    }
    const RaceLimits limits{.skip_cells = 1, .skip_group_cells = 64, .band_cells = 400};
    grouping_seen = {};
    allotra::testing::set_prepared_hook(&check_grouping);
    for (std::int64_t budget : {150, 600, 2000}) {
        probabilistic_with(task_of(m, n, amounts, budget), matrix_of(m, n, weights, false), limits);
    }
    allotra::testing::set_prepared_hook(nullptr);
    // Every race skips, and heads and tails both occur (at the largest budget
    // the first interval surely takes the two heaviest classes).
    CHECK(grouping_seen.races == 3 && grouping_seen.heads > 0 && grouping_seen.tails > 0);
}
