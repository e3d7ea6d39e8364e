// The point where a budget runs out among items taken densest first: by
// histograms of the densities' bits, each round keeping the one bucket where
// the room runs out, until the items left share one density.
#include "solvers/density_cut.hpp"

#include <algorithm>
#include <cmath>

#include "kernel/error.hpp"

namespace allotra {

Crossing crossing(const std::vector<WideInt>& amounts, WideInt room) {
    WideInt denser = 0;
    for (std::size_t bucket = amounts.size(); bucket-- > 0;) {
        WideInt through = denser;
        through += amounts[bucket];
        if (through > room) {
            room -= denser;
            return Crossing{true, bucket, room};
        }
        denser = through;
    }
    return Crossing{};
}

Cut cut_among(std::vector<Item> items, WideInt room) {
    Cut cut;
    std::vector<WideInt> amounts(buckets);
    constexpr std::uint64_t mask = buckets - 1;
    // All items may share the top bits: the first round looks at them too.
    for (int shift = top_bucket_shift;; shift = std::max(shift - bucket_bits, 0)) {
        if (items.empty()) fail("the room ran out among no items");
        const double first = items.front().density;
        if (std::all_of(items.begin(), items.end(), [first](const Item& item) { return item.density == first; })) {
            cut.density = first;
            cut.room = room;
            return cut;
        }
        std::fill(amounts.begin(), amounts.end(), WideInt{});
        for (const Item& item : items) add_amount(amounts[(density_bits(item.density) >> shift) & mask], item.amount);
        const Crossing at = crossing(amounts, room);
        if (!at.found) fail("the room did not run out among the items");
        room = at.room;
        std::size_t kept = 0;
        for (const Item& item : items) {
            const std::uint64_t its = (density_bits(item.density) >> shift) & mask;
            // Without branches: which side an item falls on is all but random.
            cut.denser_value += its > at.bucket ? item.value : 0.0;
            items[kept] = item;
            kept += its == at.bucket ? 1 : 0;
        }
        items.resize(kept);
    }
}

Window likely_window(std::vector<Item> sample, double room, double amounts) {
    Window window;
    if (sample.empty() || !(amounts > 0.0)) return window;
    std::sort(sample.begin(), sample.end(), [](const Item& a, const Item& b) { return a.density > b.density; });
    double sum = 0.0, squares = 0.0;
    for (const Item& item : sample) {
        const auto amount = static_cast<double>(item.amount);
        sum += amount;
        squares += amount * amount;
    }
    // The share of the amounts that fits, and the standard error of a
    // weighted share of this sample (at most a half, times the spread of the
    // amounts); five of those, and a little more, either side.
    const double share = room / amounts;
    const double count = static_cast<double>(sample.size());
    const double spread = count * squares / (sum * sum);
    const double margin = 5.0 * std::sqrt(0.25 * spread / count) + 2.0 / count;
    double through = 0.0;
    bool high_found = share - margin <= 0.0;
    for (const Item& item : sample) {
        through += static_cast<double>(item.amount) / sum;
        if (!high_found && through > share - margin) {
            window.high = item.density;
            high_found = true;
        }
        if (through > share + margin) {
            window.low = item.density;
            break;
        }
    }
    return window;
}

}  // namespace allotra
