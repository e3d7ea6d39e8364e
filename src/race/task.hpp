// The race's view of a task: what every construction of a solve shares,
// whatever the weights (amounts, the cells by amount, the value's terms).
#pragma once

#include <cstdint>
#include <vector>

#include "kernel/aligned_buffer.hpp"
#include "kernel/matrix.hpp"
#include "model/task.hpp"
#include "race/cell_order.hpp"
#include "race/limits.hpp"

namespace allotra {

// What every construction of a solve shares, whatever the weights: each
// cell's amount in row-major order, and the cells ordered by ascending amount
// (equal amounts by cell index).
struct RaceTask {
    // A run of equal amounts in by_amount: its amount, and the position just
    // past its last cell.
    struct AmountRun {
        std::int64_t amount;
        std::uint64_t end;
    };

    std::uint64_t cells = 0;
    std::uint64_t n = 0;
    std::int64_t b_total = 0;
    // Each cell's b_ij: the task's own matrix where it is row-major, else a
    // copy in amount_copy.
    const std::int64_t* amount = nullptr;
    AlignedBuffer<std::int64_t> amount_copy;
    // The value's terms by cell, c * (1 - omega) as the objective computes
    // it, made once a solve, so that a construction reads 8 bytes a chosen
    // cell rather than 16; or, where no cell has a discount and c is
    // row-major, c itself (a term is then c as a double, exactly).
    AlignedBuffer<double> terms;
    const std::int64_t* undiscounted = nullptr;
    // The largest magnitude of a term (NaN where a term is NaN): it bounds how
    // far two orders of adding a selection's terms can part.
    double largest_term = 0.0;
    // The terms are c, and their magnitudes sum to at most 2^53: every partial
    // sum of any selection, in any order, is an integer that a double holds,
    // so a selection's value is its integer sum, added in any order.
    bool integer_sums = false;
    CellOrder by_amount;
    // The runs of by_amount, when some amount is negative: the cells that fit
    // a given room are the positions before the end of a run.
    std::vector<AmountRun> amount_runs;
    // Bands of consecutive positive amounts in by_amount, each of at least
    // RaceLimits::band_cells cells where the amounts allow (an amount is
    // never split), when no amount is negative: a race that skips groups its
    // cells by band, so that amounts of many values make few groups.
    struct AmountBand {
        std::int64_t lowest;
        std::int64_t highest;
        std::uint64_t begin;
        std::uint64_t end;
    };
    std::vector<AmountBand> amount_bands;
    // No band's amounts span more than this, so that each cell's amount is
    // its band's least and a byte: band_offset, by position in by_amount,
    // where some band has more than one amount (else empty).
    static constexpr std::int64_t band_spread = 255;
    LargeVector<std::uint8_t> band_offset;
    // The objective adds its terms column by column (column-major c and omega).
    bool by_column = false;
};

RaceTask race_task(const Task& task, const RaceLimits& limits = {});

}  // namespace allotra
