// Where a budget runs out when items are taken densest first, without sorting
// them: histograms of the densities' bits narrow the items down to those of
// one density. The relaxation's bound (solvers/relaxation_bound.*) is built
// on it.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernel/wide_int.hpp"

namespace allotra {

// An item of the fractional knapsack: a positive value and amount, and its
// value per unit of amount.
struct Item {
    double density;
    double value;
    std::uint64_t amount;
};

// Positive densities order as their bit patterns.
inline std::uint64_t density_bits(double density) { return std::bit_cast<std::uint64_t>(density); }

// Buckets of densities by their top bits (the sign bit is always 0).
inline constexpr int bucket_bits = 13;
inline constexpr std::size_t buckets = std::size_t{1} << bucket_bits;
inline constexpr int top_bucket_shift = 63 - bucket_bits;

// sum += amount, for amounts up to 2^63 (a cell's INT64_MIN given back).
inline void add_amount(WideInt& sum, std::uint64_t amount) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (amount > largest) [[unlikely]] {
        sum += static_cast<std::int64_t>(largest);
        amount -= largest;
    }
    sum += static_cast<std::int64_t>(amount);
}

// The bucket in which `room` runs out, the densest bucket first, and the room
// left for it once the denser ones are taken; none when everything fits.
struct Crossing {
    bool found = false;
    std::size_t bucket = 0;
    WideInt room = 0;
};
Crossing crossing(const std::vector<WideInt>& amounts, WideInt room);

// Among `items` (whose amounts together exceed `room`), the density lambda at
// which the room runs out, the room left at lambda once the denser items are
// taken (less than the amount of the items of density lambda), and the value
// of those denser items, added in the order of `items` (whatever that is, the
// same items give the same sum). Linear: at most five histograms of the
// items.
struct Cut {
    double density = 0.0;
    WideInt room = 0;
    double denser_value = 0.0;
};
Cut cut_among(std::vector<Item> items, WideInt room);

// The densities between which a sample of the items (every stride-th cell's)
// puts the point where `room` runs out, with a margin several times the
// sample's error: the whole pass then keeps only the items in between, and
// finds out whether the point really lies there. `room` and the items'
// `amounts` are the sample's estimates of the whole grid's.
struct Window {
    double low = 0.0;
    double high = std::numeric_limits<double>::infinity();
};
Window likely_window(std::vector<Item> sample, double room, double amounts);

}  // namespace allotra
