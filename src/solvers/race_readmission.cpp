// The race when drawable cells have negative amounts: skipped cells wait
// for freed budget and race again with fresh keys.
#include <algorithm>
#include <vector>

#include "solvers/race_state.hpp"

namespace allotra::race_detail {

// The general race, when some cell of the race has a negative amount:
// a cell that did not fit when its key came waits, by amount, until freed
// budget lets it fit; it then gets the fresh key now + E * scale.
void Race::readmitting_race() {
    sorted_keys(task_.cells, [](std::uint64_t p) { return p; });
    const std::vector<KeyedCell>& keyed = scratch_.keyed;
    const auto by_amount = [this](std::uint64_t p, std::uint64_t q) {
        return amount_[p] > amount_[q] || (amount_[p] == amount_[q] && p > q);
    };
    const auto by_key = [](const KeyedCell& p, const KeyedCell& q) { return key_order(q, p); };
    std::vector<std::uint64_t> waiting;  // a heap, smallest amount on top
    std::vector<KeyedCell> readmitted;   // a heap, smallest key on top
    WideInt used = 0;
    WideInt lowest = 0;
    std::uint64_t next = 0;
    for (std::uint64_t steps = 0;; ++steps) {
        if (steps % limits_.slice == 0) check_stop();
        KeyedCell event;
        if (!readmitted.empty() && (next == keyed.size() || key_order(readmitted.front(), keyed[next]))) {
            std::pop_heap(readmitted.begin(), readmitted.end(), by_key);
            event = readmitted.back();
            readmitted.pop_back();
        } else if (next < keyed.size()) {
            event = keyed[next++];
        } else {
            break;
        }
        const std::int64_t amount = amount_[event.cell];
        if (!fits(used, amount, task_.b_total)) {
            waiting.push_back(event.cell);
            std::push_heap(waiting.begin(), waiting.end(), by_amount);
            continue;
        }
        take(event.cell);
        used += amount;
        if (amount >= 0) continue;
        if (weights_.recheck_totals && used < lowest) {
            lowest = used;
            check_total_is_finite(candidate_total(used));
        }
        while (!waiting.empty() && fits(used, amount_[waiting.front()], task_.b_total)) {
            std::pop_heap(waiting.begin(), waiting.end(), by_amount);
            const std::uint64_t cell = waiting.back();
            waiting.pop_back();
            readmitted.push_back({event.key + draws_.fresh() * scale_[cell], cell});
            std::push_heap(readmitted.begin(), readmitted.end(), by_key);
        }
    }
}

// The total weight of the candidates with `used` spent, summed in
// row-major order as a step-by-step draw sums it.
double Race::candidate_total(WideInt used) const {
    const double* w = weights_.weight.data();
    double total = 0.0;
    for (std::uint64_t cell = 0; cell < task_.cells; ++cell) {
        if (!is_taken(cell) && drawable(w[cell]) && fits(used, amount_[cell], task_.b_total)) total += w[cell];
    }
    return total;
}

}  // namespace allotra::race_detail
