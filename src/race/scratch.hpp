// One worker's working memory for its constructions, kept between them.
#pragma once

#include <cstdint>
#include <vector>

#include "kernel/memory/large_storage.hpp"
#include "kernel/memory/uninitialized_allocator.hpp"
#include "kernel/random/random.hpp"
#include "kernel/simd/odds_split.hpp"

namespace allotra {

// One group's members still in a race that skips: `count` of them listed,
// of which `stale` were taken since the list was last compacted (passed over
// by their taken bit); the list is the group's own until a scan compacts it.
struct FreeList {
    std::uint64_t count = 0;
    std::uint64_t stale = 0;
    bool compacted = false;
};

// A key and its cell, ordered by key then cell.
struct KeyedCell {
    double key;
    std::uint64_t cell;
};

// One worker's working memory, kept between constructions so that none
// allocates it anew (large lists mapped straight from the system, so that it
// goes back when the construction that owns it is done, before the answer is
// made): 2 bytes per cell for the bins and 1 bit for the taken cells, plus
// what the sorted races and the crossing bin need (and the keys of races
// small enough to keep them); with negative amounts, under a byte per cell
// more for the sums of the cells drawn one by one, and 16 bytes for each
// keyed cell of no positive amount (at most keyed_share of the cells).
// A race that skips needs no bins: the taken bit, and 4 bytes for each
// candidate of its largest interval (most of what it takes).
struct RaceScratch {
    LargeVector<std::uint64_t> values;
    LargeVector<double> exponentials;
    LargeVector<double> keys;
    LargeVector<std::uint16_t> bins;
    LargeVector<std::uint64_t> counts;
    std::vector<std::uint64_t> taken;
    LargeVector<std::uint64_t> crossing;
    LargeVector<std::uint64_t> pending;
    LargeVector<std::uint64_t> round;
    LargeVector<KeyedCell> keyed;
    // A race that skips: the sum of each group's candidates' amounts in an
    // interval.
    LargeVector<std::uint64_t> amounts;
    // A race that skips: the keys of an interval with many candidates, counted
    // by bin and put in order.
    LargeVector<std::uint64_t> key_bins;
    LargeVector<KeyedCell> ordered;
    LargeVector<double> sums;
    LargeVector<std::uint16_t> free_blocks;
    LargeVector<std::uint16_t> unmarked;
    // A race that skips: the interval's candidates (4 bytes each while the
    // grid allows, else 8); each group's list of members still free, which a
    // scan compacts into `kept` at the group's own positions (with the
    // members' fine bits and amount offsets), so that later intervals no longer see its taken
    // cells; only the groups scanned write there.
    LargeVector<std::uint32_t> candidates;
    LargeVector<std::uint64_t> wide_candidates;
    LargeVector<FreeList> free_lists;
    UninitializedVector<std::uint32_t> kept;
    UninitializedVector<std::uint64_t> wide_kept;
    UninitializedVector<std::uint8_t> kept_fine;
    UninitializedVector<std::uint8_t> kept_offset;
    // Random values read a byte a member, and for each class the odds of
    // its scanned cells in the interval they were made for.
    LargeVector<std::uint64_t> bits;
    LargeVector<PlaceOdds> odds;
    // A stretch of a scan split by odds: the members surely drawn, then the
    // undecided, a bit each.
    LargeVector<std::uint64_t> split;
    LargeVector<std::uint64_t> odds_interval;
    std::uint64_t intervals = 0;
    StreamRecord record;
    // The bitmap of a dropped selection, which the next race takes as its
    // own when a selection leaves with the one it filled.
    std::vector<std::uint64_t> spare_taken;
};

}  // namespace allotra
