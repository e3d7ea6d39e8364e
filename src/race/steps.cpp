// Races of a few cells, drawn one cell at a time.
#include <algorithm>
#include <vector>

#include "race/state.hpp"

namespace allotra::race_detail {

// The few cells of the race drawn one at a time, with no negative amount
// among them: at each step, u uniform in [0, total) of the free cells
// that fit picks the first whose running sum passes u. A cell that no
// longer fits leaves the list for good.
void Race::step_by_step(std::int64_t& remaining) {
    const double* weight = weights_.weight.data();
    LargeVector<KeyedCell>& live = scratch_.keyed;  // the weight in place of a key
    live.clear();
    for (std::uint64_t cell = 0; cell < task_.cells; ++cell) {
        if (scale_[cell] >= 0.0) live.push_back({weight[cell], cell});
    }
    while (!live.empty()) {
        // Four sums at once: a step is a few additions deep, not one per cell.
        double sums[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t k = 0; k < live.size(); ++k) sums[k % 4] += live[k].key;
        const double total = (sums[0] + sums[1]) + (sums[2] + sums[3]);
        const double u = unit_of(draws_.next_value()) * total;
        std::size_t chosen = live.size() - 1;  // where rounding carries u past every running sum
        double running = 0.0;
        for (std::size_t k = 0; k < live.size(); ++k) {
            running += live[k].key;
            if (running > u) {
                chosen = k;
                break;
            }
        }
        const std::int64_t amount = amount_[live[chosen].cell];
        take(live[chosen].cell);
        remaining -= amount;
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(chosen));
        if (amount > 0) {
            std::erase_if(live, [&](const KeyedCell& cell) { return amount_[cell.cell] > remaining; });
        }
    }
}

}  // namespace allotra::race_detail
