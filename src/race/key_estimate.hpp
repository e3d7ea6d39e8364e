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
// about 2% of it, and the first interval stops 7% short.
inline constexpr std::uint64_t sampled_cells = 2048;

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
        const std::uint64_t step = std::max<std::uint64_t>(1, task.cells / sampled_cells);
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
    // few percent (a bisection over its logarithm).
    double key_for(double amount) const {
        double low = -80.0, high = RaceLimits::skip_weight_octaves + 80.0;
        for (int round = 0; round < 24; ++round) {
            const double middle = 0.5 * (low + high);
            (at(std::exp2(middle)).amount >= amount ? high : low) = middle;
        }
        return std::exp2(high);
    }

    // How many groups the sampled cells fall in: a lower bound on the
    // groups of the race.
    std::uint64_t groups(const std::vector<RaceTask::AmountBand>& bands) const {
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
        return static_cast<std::uint64_t>(std::unique(seen.begin(), seen.end()) - seen.begin());
    }

private:
    struct Sampled {
        double scale;
        double amount;
    };
    std::vector<Sampled> sample_;
    double weight_ = 1.0;
};

}  // namespace allotra::race_detail
