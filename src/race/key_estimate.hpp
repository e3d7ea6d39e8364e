// Where the budget of a race that skips is expected to run out: the expected
// amount and count of the cells with a key below a given one, estimated from a
// sample of cells spread over the grid.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "race/limits.hpp"
#include "race/scale_class.hpp"
#include "race/task.hpp"

namespace allotra::race_detail {

// The cells that estimate where the budget runs out: their sum's spread is
// about 2% of it, and the first interval stops 7% short. Smaller races
// sample one cell in small_race_step, at least 256: the estimate's cost is
// the same whatever the grid, and a small race's constructions are short.
inline constexpr std::uint64_t sampled_cells = 2048;
inline constexpr std::uint64_t small_race_step = 16;
inline constexpr std::uint64_t least_sampled_cells = 256;

// The expected positive amount and count of the race's cells with a key
// below `key`, estimated from at most sampled_cells cells spread over the grid.
struct Expected {
    double amount;
    double cells;
};

class KeyEstimate {
public:
    template <typename ScaleOf>
    KeyEstimate(const RaceTask& task, ScaleOf scale_of) {
        const std::uint64_t samples =
            std::clamp(task.cells / small_race_step, std::min(task.cells, least_sampled_cells), sampled_cells);
        const std::uint64_t step = std::max<std::uint64_t>(1, task.cells / samples);
        for (std::uint64_t cell = 0; cell < task.cells; cell += step) {
            const double scale = scale_of(cell);
            if (scale < 0.0) continue;
            sample_.push_back({scale, static_cast<double>(task.amount[cell])});
        }
        weight_ = static_cast<double>(task.cells) / static_cast<double>((task.cells + step - 1) / step);
    }

    Expected at(double key) const {
        Expected sum{0.0, 0.0};
        for (const Sampled& cell : sample_) {
            const double below = -std::expm1(-key / cell.scale);
            sum.amount += cell.amount * below;
            sum.cells += below;
        }
        return {sum.amount * weight_, sum.cells * weight_};
    }

    // The key at which the expected amount reaches `amount`, to within a
    // fraction of a percent: Newton's steps from below, where the expected
    // amount is increasing and concave in the key, so that each step lands
    // below the answer again and a few steps near it suffice (a bisection
    // over the key's logarithm took 24 rounds over the sample). A key past
    // every cell's reach where the sample cannot reach `amount`.
    double key_for(double amount) const {
        double total = 0.0, rate = 0.0;
        for (const Sampled& cell : sample_) {
            total += cell.amount;
            rate += cell.amount / cell.scale;
        }
        total *= weight_;
        rate *= weight_;
        constexpr double beyond = 0x1p207;  // past every scale a race that skips has
        if (!(amount < total) || !(rate > 0.0)) return beyond;
        if (!(amount > 0.0)) return 0x1p-80;
        // 1 - exp(-x) <= x: the expected amount is below `amount` here.
        double key = amount / rate;
        for (int round = 0; round < max_steps; ++round) {
            double value = 0.0, slope = 0.0;
            for (const Sampled& cell : sample_) {
                const double left = std::expm1(-key / cell.scale);  // exp(-x) - 1
                value -= cell.amount * left;
                slope += cell.amount / cell.scale * (1.0 + left);
            }
            const double step = (amount - value * weight_) / (slope * weight_);
            if (!(step > key * 0x1p-10)) break;
            key += step;
        }
        return key;
    }

    // How many groups the sampled cells fall in, at most `band_groups` a
    // band: a lower bound on the groups of the race.
    std::uint64_t groups(const std::vector<RaceTask::AmountBand>& bands, std::uint64_t band_groups) const {
        std::vector<std::pair<std::size_t, std::uint64_t>> seen;
        for (const Sampled& cell : sample_) {
            if (cell.amount <= 0.0) continue;
            // The band of the amount: amounts past 2^53 that round alike may
            // land in one band for two, which only lowers the count.
            const auto band = std::lower_bound(bands.begin(), bands.end(), cell.amount,
                                               [](const RaceTask::AmountBand& b, double a) {
                                                   return static_cast<double>(b.highest) < a;
                                               });
            seen.push_back({static_cast<std::size_t>(band - bands.begin()), class_of(cell.scale)});
        }
        std::sort(seen.begin(), seen.end());
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        std::uint64_t count = 0;
        for (std::size_t k = 0, in_band = 0; k < seen.size(); ++k) {
            in_band = k > 0 && seen[k].first == seen[k - 1].first ? in_band + 1 : 1;
            count += in_band <= band_groups;
        }
        return count;
    }

private:
    // Where the answer lies far past the scales that bend the expected amount
    // most, each of Newton's steps adds about one of those scales; the
    // estimate need not be exact, so their number is bounded.
    static constexpr int max_steps = 64;
    struct Sampled {
        double scale;
        double amount;
    };
    std::vector<Sampled> sample_;
    double weight_ = 1.0;
};

}  // namespace allotra::race_detail
