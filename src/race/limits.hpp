// The sizes at which a construction changes method, and the ranges they are
// built for.
#pragma once

#include <cstdint>

namespace allotra {

// The sizes at which the construction changes method; tests make them small
// so that tiny grids take every path.
struct RaceLimits {
    // Races over at most this many cells draw one cell at a time, each in
    // proportion to weight among those that still fit: for so few cells a
    // scan per step costs less than keys.
    std::uint64_t step_limit = 32;
    // Races over at most this many cells sort their keys instead of binning them.
    std::uint64_t sort_limit = 64;
    // Number of bins of the largest races, at most max_bins; smaller races
    // use fewer (see bins.hpp).
    std::uint32_t bins = 4096;
    // Bins per octave of key in the largest races: 2^octave_bits, with
    // octave_bits at most max_octave_bits.
    std::uint32_t octave_bits = 7;
    // Cells per slice of random values, and between two looks at the stop flag.
    std::uint64_t slice = 2048;
    // Binned races over at most this many cells keep every key (8 bytes a
    // cell); larger ones keep 2 bytes a cell and read the few keys they need
    // again from the random stream.
    std::uint64_t kept_keys = 65536;
    // Races with negative amounts key the free cells that always fit (16
    // bytes each) once the budget has run out only while they are at most
    // this share of the cells; otherwise they are drawn with the rest.
    double keyed_share = 0.25;
    // Races over at least this many cells, with no negative amount, weights
    // within 2^skip_weight_octaves of each other, and at most skip_share of
    // their cells expected to have a key below the one at which the budget
    // runs out, sample only the cells whose keys fall in each interval of
    // key (skipping.cpp); the others draw a key for every cell. At any share:
    // with compacted free lists and a byte a scanned member, a race that
    // skips took 0.57-0.85 of the time of one that keys every cell at
    // budgets of 30% to 90% (one worker, 300 x 300 to 2000 x 2000).
    std::uint64_t skip_cells = 16384;
    double skip_share = 1.0;
    // ... and at least this many cells a group on average.
    std::uint64_t skip_group_cells = 256;
    // A band of a race that skips has at most as many groups as the race's
    // average allows (at least 3), and at most this many: past it, it merges
    // its heaviest classes into one head group and its lightest into one
    // tail (groups.hpp). Tests make it small so that a tiny grid merges.
    std::uint64_t band_groups = ~std::uint64_t{0};
    // Smaller races, of at least small_skip_cells cells, skip where at most
    // small_skip_share of their cells are expected to be taken, with groups
    // of small_group_cells on average: the groups and intervals cost about
    // the same whatever the grid. At 100 x 100 a construction at a tenth of
    // the budget took 22-59 us where it took 67-77 us, for 25-45 us more
    // preparation (the colony's every iteration); at half the budget these
    // races do not skip.
    std::uint64_t small_skip_cells = 4096;
    double small_skip_share = 0.3;
    std::uint64_t small_group_cells = 64;
    // The sort of the cells by amount notes their runs of one amount, which
    // races with negative amounts read, while the amounts take at most one
    // value for every run_cells cells; otherwise those races find the runs
    // in a pass of their own.
    std::uint64_t run_cells = 16;
    // A race that skips groups its cells by bands of consecutive amounts,
    // each closed at the first change of amount once it holds this many
    // cells: amounts of many values would otherwise make groups too many to
    // look at in every interval, while amounts that fill a band alone keep
    // it, and their candidates' amounts are known without reading them.
    std::uint64_t band_cells = 8192;
    // An interval of a race that skips whose candidates need keys sorts them
    // while they are at most this many; more (a first interval that
    // overflows) are counted into log-scale bins first and each bin sorted,
    // which gives the same order in linear time.
    std::uint64_t sorted_keys = 4096;
    // Scales the first interval of a race that skips, whose length comes
    // from an estimate: tests stretch it until its candidates overflow the
    // budget, or shrink it far below what the budget would hold.
    double first_span_factor = 1.0;
    // Whether random bits and bounds of a cell's place in its class settle
    // most cells of a race that skips; without them, each reads its scale.
    bool settle_by_digits = true;
    // Lists of cells (the cells by amount, a race's groups and candidates)
    // take 4 bytes an index while the grid has at most this many cells.
    std::uint64_t narrow_cells = std::uint64_t{1} << 32;
    // The sort of the cells by amount runs in pieces of at least this many
    // cells on the pool (counting_sort.hpp); tests make it small so that a
    // tiny grid is sorted in many pieces.
    std::uint64_t sort_piece_cells = 65536;

    static constexpr int skip_weight_octaves = 127;

    // A bin is a uint16 and one more value marks the cells outside the race.
    static constexpr std::uint32_t max_bins = 65534;
    // The mantissa bits a bin takes from a key; more would not fit the
    // levels of every key in 64-bit arithmetic with room to spare.
    static constexpr std::uint32_t max_octave_bits = 7;
};

// Refuses limits outside those the race is built for (an internal error).
void check_race_limits(const RaceLimits& limits);

}  // namespace allotra
