// The cells of a race that skips, grouped by amount and by the class of their
// key's scale, and the choice of whether to skip.
#pragma once

#include <cstdint>
#include <vector>

#include "kernel/large_storage.hpp"

#include "race/limits.hpp"
#include "race/scale_class.hpp"
#include "race/task.hpp"

namespace allotra {

// The cells of a race that skips, grouped by band of amount and by the class
// of their key's scale (the scale's exponent and top mantissa bit: two
// classes an octave), the groups in ascending amount, so that the groups
// whose least amount fits a budget are a prefix of them. Cells of amount 0
// are in no group: every construction takes them.
//
// A band whose weights spread over more classes than it may have groups
// merges them: the classes whose every member is surely a candidate in the
// first interval into one head group, those past the band's last own groups
// into one tail. A merged group's members keep their distance in classes
// from its first class (and the top 2 of their fine bits) instead of their
// fine bits, which bound each member's scale closely enough to settle most of
// its arrivals; the colony's pheromone spreads the weights by an octave after
// another, and the groups stay as many whatever the spread.
struct RaceGroups {
    struct Group {
        std::uint64_t begin;
        std::uint64_t end;
        // The band's least and greatest amount: equal where it has one.
        std::int64_t amount;
        std::int64_t top_amount;
        // The smallest scale of the class: no member's key comes sooner.
        double least_scale;
        // No member's scale reaches it: least_scale_of the class after the last.
        double beyond_scale;
        // The class's index (a merged group's first); its low bit is the
        // class's top mantissa bit, by which its scales run up to 1.5 or 4/3
        // times least_scale.
        std::uint32_t class_index;
        // Whether the group merges several classes (see above).
        bool merged;
    };
    static constexpr unsigned class_bits = race_detail::class_bits;
    // Mantissa bits below the class's that place a member's scale in it.
    static constexpr unsigned fine_bits = race_detail::fine_bits;

    bool active = false;
    std::vector<Group> groups;
    // The member cells, 4 bytes each while the grid allows, else 8; and for
    // each, the next fine_bits of its scale's mantissa (in a merged group,
    // its place: merged_place_of).
    LargeVector<std::uint32_t> narrow;
    LargeVector<std::uint64_t> wide;
    LargeVector<std::uint8_t> fine;
    // For each, its amount less its group's least, where some band has more
    // than one amount (else empty).
    LargeVector<std::uint8_t> offset;
    // The positions in by_amount of the cells of amount 0.
    std::uint64_t zero_end = 0;
    // The first interval of key: expected to use most, not all, of the budget.
    double first_span = 0.0;
};

// What the grouping reads of a set of weights.
struct GroupedWeights {
    // Each cell's weight, row-major.
    const double* weight;
    // The largest finite weight in the race, and the largest scale.
    double largest;
    double max_scale;
    // How many cells fit the empty selection and can be drawn.
    std::uint64_t candidates;
};

// Decides whether the constructions skip and, if so, groups the cells; with
// no negative amount, not every candidate fitting and a finite first total
// (the caller's part of the rule).
void group_race_cells(RaceGroups& groups, const GroupedWeights& weights, const RaceTask& task,
                      const RaceLimits& limits);

}  // namespace allotra
