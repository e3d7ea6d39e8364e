// The relaxation's optimum through its dual: for any density lambda >= 0, no
// fractional selection is worth more than lambda times the budget plus, over
// the items, what each is worth beyond lambda times its amount. At the
// density where the budget runs out in the greedy order (densest first) this
// is the optimum itself; at any other it is still above it. So the densities'
// rounding, which may put an item on the wrong side of lambda, costs at most
// that item's value times a few rounding errors, and the allowance added at
// the end covers it: nothing here can take the result below the optimum.
//
// One pass over the cells usually does: a sample of the cells first tells
// between which densities the budget runs out, and the pass keeps the items
// in between. Where the sample was wrong, the pass's histogram of the
// densities finds the bucket where it runs out, and a second pass keeps that
// bucket's items.
#include "solvers/relaxation_bound.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/wide_int.hpp"
#include "kernel/pool/worker_pool.hpp"
#include "solvers/density_cut.hpp"

namespace allotra {

namespace {

// Grids of fewer cells than this times the sample's size keep all their
// items in the pass; larger ones are sampled first.
constexpr std::uint64_t sample_size = 8192;
constexpr std::uint64_t sampled_from = 4;

// A cell that gives budget back (b_ij < 0) is taken whole first: that frees
// its amount and gains its value. If its value is negative, it can then be
// given up in any fraction, which costs its amount and gains the value back:
// an item like the cells of positive value and amount. Cells of amount 0 and
// positive value are taken whole; every other cell is left out. What remains
// is the fractional knapsack of the items within the budget plus what the
// taken cells freed.
struct ItemTerms {
    double value;
    std::uint64_t amount;  // 0 where the cell is no item
};

// The amount a cell of b < 0 frees (2^63 for INT64_MIN).
inline std::uint64_t freed_by(std::int64_t b) { return std::uint64_t{0} - static_cast<std::uint64_t>(b); }

inline ItemTerms item_of(double value, std::int64_t b) {
    if (b > 0) return ItemTerms{value, value > 0.0 ? static_cast<std::uint64_t>(b) : 0};
    if (b < 0 && value < 0.0) return ItemTerms{-value, freed_by(b)};
    return ItemTerms{0.0, 0};
}

// Whether a cell of amount b <= 0 is taken whole first.
inline bool taken_whole(double value, std::int64_t b) { return b < 0 || value > 0.0; }

// A cell's value as the objective forms it; NaN for a cell in no selection
// of finite value.
inline double value_of(std::int64_t c, double omega) { return static_cast<double>(c) * (1.0 - omega); }

// Calls visit(c, b, omega) for the cells [begin, end) in row-major order,
// whatever the matrices' layouts, so that every sum below adds in one order.
// One call site, a row's run at a time: the visit is inlined into the loop.
template <typename Visit>
void for_cells(const Task& task, std::uint64_t begin, std::uint64_t end, Visit&& visit) {
    const std::int64_t c_step = task.c.col_stride, b_step = task.b_ij.col_stride, omega_step = task.omega.col_stride;
    std::uint64_t i = begin / task.n, j = begin % task.n;
    for (std::uint64_t k = begin; k < end; ++i, j = 0) {
        const auto run = static_cast<std::int64_t>(std::min(task.n - j, end - k));
        const std::int64_t* c = task.c.ptr(i, j);
        const std::int64_t* b = task.b_ij.ptr(i, j);
        const double* omega = task.omega.ptr(i, j);
        for (std::int64_t t = 0; t < run; ++t) visit(c[t * c_step], b[t * b_step], omega[t * omega_step]);
        k += static_cast<std::uint64_t>(run);
    }
}

// Runs body(begin, end, chunk index, worker) over the cells in chunks.
template <typename Body>
void in_chunks(std::uint64_t cells, std::uint64_t chunk, Body&& body) {
    run_batch((cells - 1) / chunk + 1, [&](std::uint64_t index, std::size_t worker) {
        const std::uint64_t begin = index * chunk;
        body(begin, std::min(cells, begin + chunk), index, worker);
    });
}

// The items that the chunks kept, in chunk order.
template <typename Part>
std::vector<Item> gathered(std::vector<Part>& parts, std::vector<Item> Part::*kept) {
    std::size_t count = 0;
    for (const Part& part : parts) count += (part.*kept).size();
    std::vector<Item> items;
    items.reserve(count);
    for (Part& part : parts) {
        items.insert(items.end(), (part.*kept).begin(), (part.*kept).end());
        std::vector<Item>().swap(part.*kept);
    }
    return items;
}

// Every stride-th cell's item, and estimates of the whole grid's room and
// items' amounts from them.
Window sampled_window(const Task& task, std::uint64_t cells) {
    const std::uint64_t stride = cells / sample_size;
    std::vector<Item> sample;
    sample.reserve(sample_size);
    double freed = 0.0, amounts = 0.0;
    for (std::uint64_t k = 0; k < cells; k += stride) {
        const std::uint64_t i = k / task.n, j = k % task.n;
        const double value = value_of(*task.c.ptr(i, j), *task.omega.ptr(i, j));
        if (std::isnan(value)) continue;
        const std::int64_t b = *task.b_ij.ptr(i, j);
        if (b < 0) freed += static_cast<double>(freed_by(b));
        const auto [item_value, amount] = item_of(value, b);
        if (amount == 0) continue;
        amounts += static_cast<double>(amount);
        sample.push_back(Item{item_value / static_cast<double>(amount), item_value, amount});
    }
    const auto scale = static_cast<double>(stride);
    return likely_window(std::move(sample), static_cast<double>(task.b_total) + scale * freed, scale * amounts);
}

// What the pass keeps of a chunk; the chunks' sums are added in chunk order,
// so the result does not depend on which worker ran which.
struct ChunkSums {
    std::uint64_t finite = 0;   // cells of finite value
    double magnitude = 0.0;     // the sum of their |value|
    bool gains = false;         // whether a value is above 0
    double taken = 0.0;         // the values of the cells taken whole
    WideInt freed = 0;          // the amounts they give back
    double items = 0.0;         // the values of the items
    double above_value = 0.0;   // the same for the items denser than the window
    WideInt above_amounts = 0;
    WideInt window_amounts = 0;  // the amounts of those within it
    std::vector<Item> window;    // those items, unless the window is one density
    bool overflowed = false;     // whether the window held too many of them

    void add(const ChunkSums& other) {
        finite += other.finite;
        magnitude += other.magnitude;
        gains = gains || other.gains;
        taken += other.taken;
        freed += other.freed;
        items += other.items;
        above_value += other.above_value;
        above_amounts += other.above_amounts;
        window_amounts += other.window_amounts;
        overflowed = overflowed || other.overflowed;
    }
};

// The pass: every chunk's sums and window, and the items' amounts by bucket
// of density (exact integers, so per worker, in any order).
struct Pass {
    std::vector<ChunkSums> chunks;
    std::vector<WideInt> bucket_amounts;
    WideInt item_amounts = 0;
};

Pass whole_pass(const Task& task, std::uint64_t cells, std::uint64_t chunk, const Window& window, bool capped) {
    Pass pass;
    pass.chunks.resize((cells - 1) / chunk + 1);
    std::vector<std::vector<WideInt>> per_worker(pool_size() + 1);
    std::vector<std::vector<Item>> kept_items(pool_size() + 1);
    const bool one_density = window.low == window.high;
    // In locals: the loop's stores of doubles could otherwise change them.
    const double low = window.low, high = window.high;
    in_chunks(cells, chunk, [&](std::uint64_t begin, std::uint64_t end, std::uint64_t index, std::size_t worker) {
        std::vector<WideInt>& amounts = per_worker[worker];
        if (amounts.empty()) amounts.resize(buckets);
        WideInt* const bucket_amount = amounts.data();
        std::vector<Item>& scratch = kept_items[worker];
        if (scratch.empty()) scratch.resize(std::min(chunk, cells) + 1);
        Item* const kept = scratch.data();
        std::uint64_t count = 0;
        ChunkSums& sums = pass.chunks[index];
        const std::uint64_t cap = capped ? (end - begin) / 4 + 64 : end - begin;
        // The sums that every cell adds to, in locals (registers).
        std::uint64_t nan_cells = 0, other_cells = 0;
        double other_magnitude = 0.0, items = 0.0, above_value = 0.0;
        bool gains = false;
        // The amounts above the window as two words, added without a branch
        // (whether an item is above is all but random).
        std::uint64_t above_low = 0, above_carries = 0;
        for_cells(task, begin, end, [&](std::int64_t c, std::int64_t b, double omega) {
            const double value = value_of(c, omega);
            // The common cell, of positive value and amount, is an item; its
            // |value| is counted with the items' values. Every other cell
            // (NaN, taken whole, left out, given up in part) is counted here.
            if (!(b > 0 && value > 0.0)) [[unlikely]] {
                ++other_cells;
                if (std::isnan(value)) {
                    ++nan_cells;
                    return;
                }
                gains = gains | (value > 0.0);
                if (b <= 0 && taken_whole(value, b)) {
                    sums.taken += value;
                    add_amount(sums.freed, freed_by(b));
                }
                if (!(b < 0 && value < 0.0)) other_magnitude += std::fabs(value);
            }
            const auto [item_value, amount] = item_of(value, b);
            if (amount == 0) return;
            const double density = item_value / static_cast<double>(amount);
            add_amount(bucket_amount[density_bits(density) >> top_bucket_shift], amount);
            items += item_value;
            // Without branches: about half the items are denser, at random
            // (x * 1.0 and x + 0.0 are x).
            const bool above = density > high;
            above_value += item_value * static_cast<double>(above);
            const std::uint64_t above_amount = amount & (std::uint64_t{0} - static_cast<std::uint64_t>(above));
            above_low += above_amount;
            above_carries += above_low < above_amount ? 1 : 0;
            // Every item is written where the next kept one goes, and kept
            // by counting it: no branch, and the writes stay in one place.
            const bool inside = !above && density >= low;
            kept[count] = Item{density, item_value, amount};
            count += inside ? 1 : 0;
        });
        for (std::uint64_t k = 0; k < count; ++k) add_amount(sums.window_amounts, kept[k].amount);
        // The cut at a window of one density needs only its items' amounts.
        if (!one_density) {
            sums.overflowed = count > cap;
            if (!sums.overflowed) sums.window.assign(kept, kept + count);
        }
        sums.finite = (end - begin) - nan_cells;
        sums.magnitude = items + other_magnitude;  // an item's value is its cell's |value|
        sums.gains = gains || other_cells < end - begin;  // a common cell has a positive value
        sums.items = items;
        sums.above_value = above_value;
        sums.above_amounts = WideInt::from_words(static_cast<std::int64_t>(above_carries), above_low);
    });
    pass.bucket_amounts.resize(buckets);
    for (const std::vector<WideInt>& amounts : per_worker) {
        for (std::size_t bucket = 0; bucket < amounts.size(); ++bucket) pass.bucket_amounts[bucket] += amounts[bucket];
    }
    for (const WideInt& amounts : pass.bucket_amounts) pass.item_amounts += amounts;
    return pass;
}

// Where the window missed: a second pass keeps the items of the bucket where
// the room runs out, and sums the value of the denser ones.
struct BucketItems {
    double denser_value = 0.0;
    std::vector<Item> items;
};

BucketItems bucket_pass(const Task& task, std::uint64_t cells, std::uint64_t chunk, std::uint64_t bucket) {
    std::vector<BucketItems> parts((cells - 1) / chunk + 1);
    std::vector<std::vector<Item>> kept_items(pool_size() + 1);
    in_chunks(cells, chunk, [&](std::uint64_t begin, std::uint64_t end, std::uint64_t index, std::size_t worker) {
        double denser_value = 0.0;
        std::vector<Item>& scratch = kept_items[worker];
        if (scratch.empty()) scratch.resize(std::min(chunk, cells) + 1);
        Item* const kept = scratch.data();
        std::uint64_t count = 0;
        for_cells(task, begin, end, [&](std::int64_t c, std::int64_t b, double omega) {
            const double value = value_of(c, omega);
            if (std::isnan(value)) return;
            const auto [item_value, amount] = item_of(value, b);
            if (amount == 0) return;
            const double density = item_value / static_cast<double>(amount);
            const std::uint64_t its = density_bits(density) >> top_bucket_shift;
            denser_value += item_value * static_cast<double>(its > bucket);
            kept[count] = Item{density, item_value, amount};
            count += its == bucket ? 1 : 0;
        });
        parts[index].denser_value = denser_value;
        parts[index].items.assign(kept, kept + count);
    });
    double denser_value = 0.0;
    for (const BucketItems& part : parts) denser_value += part.denser_value;
    return BucketItems{denser_value, gathered(parts, &BucketItems::items)};
}

}  // namespace

double relaxation_bound(const Task& task, std::uint64_t chunk) {
    if (task.m == 0 || task.n == 0) return 0.0;  // m may be huge when n is 0
    const std::uint64_t cells = checked_element_count(task.m, task.n);
    chunk = std::max<std::uint64_t>(chunk, 1);
    const bool sampled = cells >= sampled_from * sample_size;
    const Window window = sampled ? sampled_window(task, cells) : Window{};
    Pass pass = whole_pass(task, cells, chunk, window, sampled);
    ChunkSums all;
    for (const ChunkSums& sums : pass.chunks) all.add(sums);
    // Every fractional selection is then worth at most 0, the empty one's value.
    if (!all.gains) return 0.0;
    WideInt room = task.b_total;
    room += all.freed;
    double estimate = all.taken + all.items;  // where every item fits
    if (pass.item_amounts > room) {
        WideInt through_window = all.above_amounts;
        through_window += all.window_amounts;
        if (!all.overflowed && all.above_amounts <= room && through_window > room) {
            WideInt left = room;
            left -= all.above_amounts;
            Cut cut;
            if (window.low == window.high) {
                cut = Cut{window.low, left, 0.0};
            } else {
                cut = cut_among(gathered(pass.chunks, &ChunkSums::window), left);
            }
            estimate = ((all.taken + all.above_value) + cut.denser_value) + cut.density * to_double(cut.room);
        } else {
            const Crossing at = crossing(pass.bucket_amounts, room);
            BucketItems bucket = bucket_pass(task, cells, chunk, at.bucket);
            const Cut cut = cut_among(std::move(bucket.items), at.room);
            estimate = ((all.taken + bucket.denser_value) + cut.denser_value) + cut.density * to_double(cut.room);
        }
    }
    // Rounding on the way: at most 2 n + 2 terms (n the cells of finite
    // value) of magnitudes summing to at most 3 M (M the sum of |value|),
    // added in some tree, each addition off by at most 2^-53 of its sum; the
    // product at lambda and the densities (a few errors of M each); and any
    // order in which the objective adds a selection's at most n terms (n - 1
    // errors of at most M). In all at most (7 n + 11) 2^-53 M.
    const double n = static_cast<double>(all.finite);
    const double allowance = 8.0 * (n + 2.0) * 0x1p-53 * all.magnitude * (1.0 + 0x1p-20);
    const double bound = std::nextafter(estimate + allowance, std::numeric_limits<double>::infinity());
    return std::max(bound, 0.0);
}

}  // namespace allotra
