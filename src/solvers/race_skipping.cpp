// A race that samples only the cells whose keys can matter.
//
// Time runs in intervals of key. By memorylessness, a cell still in the race
// at the start of an interval of length `span` has a fresh key, which falls in
// the interval with probability 1 - exp(-span / s) (s: its scale). Those cells
// are found without a draw for every cell. Lay the cells of a group end to end,
// one unit of length each, and run along them a Poisson process of rate
// span / least_scale (exponential gaps): no member's key process is faster.
// An arrival in a cell's unit is kept with probability least_scale / s, so the
// kept arrivals in its unit are the cell's own key process over the interval
// (thinning), and the cell is a candidate when one is kept; the process then
// moves on to the next unit (memorylessness again). A taken cell's unit is
// passed over. The members' fine bits bound least_scale / s closely, so the
// spare bits of the gap's random value settle nearly every arrival without
// reading the cell's scale.
//
// The candidates of an interval are all taken if their amounts fit together,
// with no key; otherwise each gets its key within the interval (a truncated
// exponential) and they are walked in key order, each taken if it fits. A cell
// that did not fit never fits again (no amount is negative), so every later
// interval looks only at the groups whose amount still fits.
//
// The intervals are sized so that their candidates use up most, not all, of
// what is left of the budget: most intervals need no key, and the one where
// the budget runs out has few candidates to sort.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "solvers/race_state.hpp"

namespace allotra::race_detail {

namespace {

constexpr std::uint64_t exponential_batch = 256;
// Past this many units of the fastest key process per cell, a cell's chance
// of no key in the interval is below exp(-38): a double does not tell it from
// 0, and every member still in the race is a candidate.
constexpr double every_cell = 76.0;

// For each class half and fine bits: the spare digits (11 bits, a uniform's
// first) below which an arrival is surely kept, and from which it is surely
// not. A scale in the cell's place of its class has least_scale / s between
// m / (m + (fine + 1) / 512) and m / (m + fine / 512), m = 1 or 1.5.
struct Settled {
    std::uint16_t kept_below[2][256];
    std::uint16_t passed_from[2][256];
};

// Settles nothing: every arrival reads its cell's scale.
const Settled& unsettled() {
    static const Settled table = [] {
        Settled t{};
        for (auto& half : t.passed_from) std::fill(std::begin(half), std::end(half), std::uint16_t{2048});
        return t;
    }();
    return table;
}

const Settled& settled() {
    static const Settled table = [] {
        static_assert(RaceGroups::class_bits == 1 && RaceGroups::fine_bits == 8);
        Settled t{};
        for (int half = 0; half < 2; ++half) {
            const double m = half == 0 ? 1.0 : 1.5;
            for (int fine = 0; fine < 256; ++fine) {
                // The margins keep each bound on its side through rounding.
                const double low = m / (m + (fine + 1) / 512.0) * (1.0 - 0x1p-40);
                const double high = m / (m + fine / 512.0) * (1.0 + 0x1p-40);
                t.kept_below[half][fine] = static_cast<std::uint16_t>(std::floor(2048.0 * low));
                t.passed_from[half][fine] = static_cast<std::uint16_t>(std::min(2048.0, std::ceil(2048.0 * high)));
            }
        }
        return t;
    }();
    return table;
}

// Makes `cells` hold at least `size` entries, growing it by half at least.
void room_for(std::vector<std::uint64_t>& cells, std::size_t size) {
    if (cells.size() < size) cells.resize(std::max(size, cells.size() + cells.size() / 2));
}

}  // namespace

template <bool AnyTaken, typename Index>
std::uint64_t Race::sample_group(const Index* members, const RaceGroups::Group& group, double span) {
    const double per_rate = group.least_scale / span;
    const std::uint8_t* fine = weights_.groups.fine.data();
    const Settled& table = limits_.settle_by_digits ? settled() : unsettled();
    const std::uint16_t* kept_below = table.kept_below[group.upper_half];
    const std::uint16_t* passed_from = table.passed_from[group.upper_half];
    std::vector<std::uint64_t>& candidates = scratch_.candidates;
    const std::size_t first = candidate_count_;
    std::size_t found = first;
    const std::uint64_t* taken = scratch_.taken.data();
    const std::uint64_t end = group.end;
    // The process's place: unit p, at `into` of its length.
    std::uint64_t p = group.begin;
    double into = 0.0;
    for (;;) {
        if (exponentials_left_ == 0) {
            check_stop();
            draws_.next_exponentials(exponential_batch);
            exponentials_left_ = exponential_batch;
        }
        // Room for every candidate of the values left; appended without a
        // branch, since whether an arrival is kept is a coin toss.
        std::uint64_t left = exponentials_left_;
        room_for(candidates, found + left);
        std::uint64_t* to = candidates.data();
        const std::uint64_t* values = scratch_.values.data() + exponential_batch;
        const double* exponentials = scratch_.exponentials.data() + exponential_batch;
        bool past = false;
        for (; left > 0; --left) {
            const double at = into + exponentials[-static_cast<std::ptrdiff_t>(left)] * per_rate;
            if (!(at < static_cast<double>(end - p))) {
                past = true;
                --left;
                break;
            }
            const std::uint64_t whole = static_cast<std::uint64_t>(at);
            p += whole;
            into = at - static_cast<double>(whole);
            const std::uint64_t cell = members[p];
            const bool free = !AnyTaken || ((taken[cell / 64] >> (cell % 64)) & 1u) == 0;
            const std::uint64_t digits = values[-static_cast<std::ptrdiff_t>(left)] & 0x7FF;
            bool kept = digits < kept_below[fine[p]];
            if (free && !kept && digits < passed_from[fine[p]]) [[unlikely]] {
                // Between the bounds: the cell's own ratio decides.
                const double u = (static_cast<double>(digits) + unit_of(draws_.next_value())) * 0x1p-11;
                kept = u * scale_[cell] < group.least_scale;
            }
            to[found] = cell;
            found += free && kept;
            // A candidate's unit, or a taken cell's, is done with.
            const bool next_unit = !free || kept;
            p += next_unit;
            into = next_unit ? 0.0 : into;
        }
        exponentials_left_ = left;
        if (past) break;
    }
    candidate_count_ = found;
    return found - first;
}

// Every free member of the group, when its span leaves none out.
template <typename Index>
std::uint64_t Race::whole_group(const Index* members, const RaceGroups::Group& group) {
    std::vector<std::uint64_t>& candidates = scratch_.candidates;
    const std::size_t first = candidate_count_;
    room_for(candidates, first + (group.end - group.begin));
    std::size_t found = first;
    for (std::uint64_t p = group.begin; p < group.end; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        candidates[found] = members[p];
        found += !is_taken(members[p]);
    }
    candidate_count_ = found;
    return found - first;
}

template <typename Index>
void Race::skipping_intervals(const Index* members, std::int64_t remaining) {
    const std::vector<RaceGroups::Group>& groups = weights_.groups.groups;
    std::size_t alive = groups.size();
    bool any_taken = false;  // no member of a group yet
    double span = weights_.groups.first_span;
    for (;;) {
        while (alive > 0 && groups[alive - 1].amount > remaining) --alive;
        if (alive == 0) return;
        check_stop();
        candidate_count_ = 0;
        std::uint64_t sum = 0;
        bool covered = true;
        for (std::size_t g = 0; g < alive; ++g) covered = covered && span / groups[g].least_scale > every_cell;
        std::vector<std::uint64_t>& found = scratch_.counts;
        found.assign(alive, 0);
        for (std::size_t g = 0; g < alive; ++g) {
            found[g] = covered     ? whole_group(members, groups[g])
                       : any_taken ? sample_group<true>(members, groups[g], span)
                                   : sample_group<false>(members, groups[g], span);
            // Saturates at the budget left + 1: whether the candidates fit
            // together is all that is asked of the sum. The group's amount
            // fits the budget left, so this cannot pass 2^64.
            sum = std::min(sum + found[g] * static_cast<std::uint64_t>(groups[g].amount),
                           static_cast<std::uint64_t>(remaining) + 1);
        }
        const std::uint64_t* found_cells = scratch_.candidates.data();
        if (sum <= static_cast<std::uint64_t>(remaining)) {
            for (std::size_t c = 0; c < candidate_count_; ++c) take(found_cells[c]);
            remaining -= static_cast<std::int64_t>(sum);
        } else {
            std::vector<KeyedCell>& keyed = scratch_.keyed;
            keyed.resize(candidate_count_);
            for (std::size_t c = 0; c < candidate_count_; ++c) {
                const double s = scale_[found_cells[c]];
                const double below = -std::expm1(-span / s);
                keyed[c] = {-s * std::log1p(-unit_of(draws_.next_value()) * below), found_cells[c]};
            }
            std::sort(keyed.begin(), keyed.end(), key_order);
            walk(keyed, remaining);
        }
        any_taken = true;
        // Every cell of every group that fitted was a candidate: each was
        // taken or no longer fits.
        if (covered) return;

        // The next interval from the candidates' amounts that still fit:
        // they sample the cells left in the race at rate 1 / span.
        double fitting_amount = 0.0;
        double fitting_cells = 0.0;
        for (std::size_t g = 0; g < alive && groups[g].amount <= remaining; ++g) {
            fitting_amount += static_cast<double>(found[g]) * static_cast<double>(groups[g].amount);
            fitting_cells += static_cast<double>(found[g]);
        }
        if (fitting_amount == 0.0) {
            span *= 16.0;
        } else {
            const double left = static_cast<double>(remaining);
            const double cells = fitting_cells * left / fitting_amount;
            const double share = std::clamp(1.0 - 6.0 / std::sqrt(cells), 0.5, 0.95);
            span = std::min(span * left / fitting_amount * share, span * 64.0);
        }
    }
}

void Race::skipping_race() {
    const RaceGroups& groups = weights_.groups;
    // Cells of amount 0 always fit: each is taken whatever its key.
    const std::uint64_t* order = task_.by_amount.data();
    for (std::uint64_t p = 0; p < groups.zero_end; ++p) {
        if (p % stop_check_cells == 0) check_stop();
        if (scale_[order[p]] >= 0.0) take(order[p]);
    }
    if (groups.wide.empty()) {
        skipping_intervals(groups.narrow.data(), task_.b_total);
    } else {
        skipping_intervals(groups.wide.data(), task_.b_total);
    }
}

}  // namespace allotra::race_detail
