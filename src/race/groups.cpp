// The preparation of a race that skips: whether to skip, the first interval
// of key, and the cells grouped by the class of their scale. Done once per
// set of weights, so the colony pays it every iteration: the cells by amount
// are the same for every set, so only each band of amount is sorted by class
// (a counting sort, bands in parallel pieces), from codes of class and
// fine bits written in a parallel pass over the grid.
#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>
#include <vector>

#include "kernel/aligned_buffer.hpp"
#include "kernel/chunked.hpp"
#include "kernel/error.hpp"
#include "kernel/worker_pool.hpp"
#include "race/candidate_rule.hpp"
#include "race/groups.hpp"
#include "race/key_estimate.hpp"
#include "race/scale_class.hpp"

namespace allotra {

namespace {

using race_detail::class_of;
using race_detail::every_cell;
using race_detail::merged_place_of;
using race_detail::fine_of;
using race_detail::KeyEstimate;
using race_detail::least_scale_of;

constexpr std::uint64_t group_chunk = 65536;
// Marks a cell outside the race in `codes`.
constexpr std::uint16_t not_a_member = 0xFFFF;

// How a band with more classes than `groups` merges them: the classes below
// `whole_end`, whose every member is surely a candidate in the first
// interval, into a head group; those past the band's own groups into a tail.
struct Merging {
    std::uint64_t groups;
    std::uint64_t whole_end;
};

// The groups of the bands [first, last) of amount, their cells placed in the
// bands' own positions of `members` (less `offset`), a counting sort by class
// in each band, which keeps the order of its cells; with each its fine bits
// (a merged group's members their places) and, where bands have more than
// one amount, its amount offset.
template <typename Index>
std::vector<RaceGroups::Group> group_bands(Index* members, std::uint8_t* fine, std::uint8_t* amount_offset,
                                           const RaceTask& task, const std::uint16_t* codes, std::uint64_t classes,
                                           const Merging& merging, std::uint64_t first, std::uint64_t last,
                                           std::uint64_t offset) {
    const CellOrder& order = task.by_amount;
    std::vector<RaceGroups::Group> groups;
    std::vector<std::uint64_t> next(classes + 1);
    // Each class's first class where it is merged, else `classes`.
    std::vector<std::uint64_t> merged_into(classes);
    std::vector<std::uint16_t> gathered;
    for (std::uint64_t b = first; b < last; ++b) {
        const RaceTask::AmountBand& band = task.amount_bands[b];
        stop_if_requested();
        // The band's codes, read once: they are scattered over the grid.
        const std::uint64_t length = band.end - band.begin;
        const auto cells = [&order, begin = band.begin](std::uint64_t k) { return order[begin + k]; };
        gathered.resize(length);
        std::fill(next.begin(), next.end(), 0);
        for (std::uint64_t k = 0; k < length; ++k) {
            constexpr std::uint64_t ahead = 16;
            if (k + ahead < length) __builtin_prefetch(codes + cells(k + ahead));
            const std::uint16_t code = gathered[k] = codes[cells(k)];
            ++next[code == not_a_member ? classes : code >> 8];
        }
        // The runs of classes that make one group each: a class alone, or a
        // head and a tail where the band has too many classes.
        std::uint64_t present = 0, heavy = 0;
        for (std::uint64_t cls = 0; cls < classes; ++cls) {
            present += next[cls] > 0;
            heavy += next[cls] > 0 && cls < merging.whole_end;
        }
        const bool merge = present > merging.groups;
        const std::uint64_t head = merge && heavy > 1 ? heavy : 0;
        // Past the head and the band's own groups, the tail's classes.
        const std::uint64_t tail_from = head + merging.groups - (head > 0 ? 1 : 0) - 1;
        std::uint64_t at = band.begin - offset;
        std::uint64_t seen = 0;
        for (std::uint64_t cls = 0, run_start = 0; cls < classes; ++cls) {
            const std::uint64_t here = next[cls];
            next[cls] = at;
            merged_into[cls] = classes;
            if (here == 0) continue;
            ++seen;
            const bool in_head = seen <= head;
            const bool in_tail = merge && seen > tail_from;
            if ((!in_head && !in_tail) || seen == 1 || seen == tail_from + 1) {
                run_start = cls;
                groups.push_back({at, at, band.lowest, band.highest, least_scale_of(cls), 0.0,
                                  static_cast<std::uint32_t>(cls), in_head || in_tail});
            }
            if (in_head || in_tail) merged_into[cls] = run_start;
            at += here;
            groups.back().end = at;
            groups.back().beyond_scale = least_scale_of(cls + 1);
        }
        next[classes] = at;  // the cells outside the race, after the groups
        for (std::uint64_t k = 0; k < length; ++k) {
            const std::uint16_t code = gathered[k];
            const std::uint64_t cls = code == not_a_member ? classes : code >> 8;
            const std::uint64_t place = next[cls]++;
            members[place] = static_cast<Index>(cells(k));
            const auto bits = static_cast<std::uint8_t>(code);
            const bool merged = cls < classes && merged_into[cls] < classes;
            fine[place] = merged ? merged_place_of(cls - merged_into[cls], bits) : bits;
            if (amount_offset != nullptr) amount_offset[place] = task.band_offset[band.begin + k];
        }
    }
    return groups;
}

// Groups every band of amount, bands of about group_chunk cells to a piece
// of work; members has a place for every cell past those of amount 0.
template <typename Index, typename ScaleOf>
void group_cells(RaceGroups& groups, LargeVector<Index>& members, const RaceTask& task, ScaleOf scale_of,
                 std::uint64_t classes, const Merging& merging) {
    // Each cell's class and fine bits, in order over the grid; only the
    // grouping reads them.
    // Mapped on large pages (aligned_buffer): a few faults, and handed back
    // at once, so that a caller's history does not keep it resident.
    const AlignedBuffer<std::uint16_t> kept_codes = aligned_buffer<std::uint16_t>(task.cells);
    std::uint16_t* codes = kept_codes.data();
    run_in_chunks(task.cells, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t cell = begin; cell < end; ++cell) {
            const double s = scale_of(cell);
            codes[cell] = s < 0.0 ? not_a_member : static_cast<std::uint16_t>(class_of(s) << 8 | fine_of(s));
        }
    });
    const std::vector<RaceTask::AmountBand>& bands = task.amount_bands;
    std::vector<std::uint64_t> starts{0};
    for (std::uint64_t b = 0, since = 0; b < bands.size(); ++b) {
        since += bands[b].end - bands[b].begin;
        if (since >= group_chunk && b + 1 < bands.size()) {
            starts.push_back(b + 1);
            since = 0;
        }
    }
    starts.push_back(bands.size());
    members.resize(task.cells - groups.zero_end);
    groups.fine.resize(members.size());
    groups.offset.resize(task.band_offset.empty() ? 0 : members.size());
    std::uint8_t* amount_offset = groups.offset.empty() ? nullptr : groups.offset.data();
    std::vector<std::vector<RaceGroups::Group>> pieces(starts.size() - 1);
    run_batch(pieces.size(), [&](std::uint64_t piece, std::size_t) {
        pieces[piece] = group_bands(members.data(), groups.fine.data(), amount_offset, task, codes, classes,
                                    merging, starts[piece], starts[piece + 1], groups.zero_end);
    });
    groups.groups.clear();
    for (const std::vector<RaceGroups::Group>& piece : pieces) {
        groups.groups.insert(groups.groups.end(), piece.begin(), piece.end());
    }
}

}  // namespace

void group_race_cells(RaceGroups& groups, const GroupedWeights& weights, const RaceTask& task,
                      const RaceLimits& limits) {
    groups.active = false;
    // Small races skip only where few of their cells are taken.
    const bool small = weights.candidates < limits.skip_cells;
    const std::uint64_t enough = std::max<std::uint64_t>(small ? limits.small_skip_cells : limits.skip_cells, 1);
    const std::uint64_t cells_a_group = small ? limits.small_group_cells : limits.skip_group_cells;
    const double max_scale = weights.max_scale;
    if (weights.candidates < enough || task.amount_bands.empty() ||
        !(max_scale <= std::ldexp(1.0, RaceLimits::skip_weight_octaves))) {
        return;
    }
    const double* w = weights.weight;
    const auto scale_of = [w, amount = task.amount, budget = task.b_total, top = weights.largest](std::uint64_t cell) {
        return drawable(w[cell]) && fits(0, amount[cell], budget) ? top / w[cell] : -1.0;
    };
    // Each band may have as many groups as the race's average allows, at
    // least a head, an own group and a tail: so the groups stay few enough
    // however far the weights spread.
    const std::uint64_t band_groups = std::max<std::uint64_t>(
        3, std::min(limits.band_groups,
                    weights.candidates / std::max<std::uint64_t>(cells_a_group, 1) / task.amount_bands.size()));
    // Groups that the sampled cells alone already show to be too many are
    // not worth building to count.
    const KeyEstimate estimate(task, scale_of);
    if (estimate.groups(task.amount_bands, band_groups) * cells_a_group > weights.candidates) return;
    const double budget = static_cast<double>(task.b_total);
    const double budget_key = estimate.key_for(budget);
    const double expected_cells = estimate.at(budget_key).cells;
    const double skip_share = small ? limits.small_skip_share : limits.skip_share;
    if (expected_cells > skip_share * static_cast<double>(weights.candidates)) return;
    // Short of the budget by several spreads of the sum, so that the first
    // interval's cells usually all fit and need no key; the sample that
    // estimates it is itself only good to a few percent.
    const double share = std::clamp(1.0 - 6.0 / std::sqrt(std::max(expected_cells, 1.0)), 0.5, 0.93);
    groups.first_span = estimate.key_for(share * budget) * limits.first_span_factor;

    groups.zero_end = task.amount_bands.front().begin;
    const std::uint64_t classes = class_of(max_scale) + 1;
    // The classes whose every member's key falls in the first interval but
    // for a chance a double does not tell from 0.
    std::uint64_t whole_end = 0;
    while (whole_end < classes && groups.first_span / least_scale_of(whole_end + 1) > every_cell) ++whole_end;
    const Merging merging{band_groups, whole_end};
    if (task.cells <= limits.narrow_cells) {
        groups.wide.clear();
        group_cells(groups, groups.narrow, task, scale_of, classes, merging);
    } else {
        groups.narrow.clear();
        group_cells(groups, groups.wide, task, scale_of, classes, merging);
    }
    if (groups.groups.size() * cells_a_group > weights.candidates) return;
    groups.active = true;
}

}  // namespace allotra
