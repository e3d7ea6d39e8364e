// What a race hands back: the taken cells as a bitmap and their value,
// bit-identical to the objective's, or nothing where a bound shows that the
// construction cannot beat the best it has to.
#pragma once

#include <vector>

#include "kernel/selection.hpp"
#include "race/scratch.hpp"
#include "race/task.hpp"

namespace allotra {

// The selection of the cells set in scratch.taken, with their value added in
// the objective's order, each term as the objective computes it. Where the
// value cannot exceed `must_beat` (a sum in any order, and how far two
// orders can part, show it), the selection is dropped instead: its value is
// cannot_win, it has no bits, and the exact sum is never made. A selection
// kept takes the bitmap with it, and the scratch takes the spare storage in
// exchange.
Selection finish_selection(const RaceTask& task, RaceScratch& scratch, double must_beat);

// Whether exact values come faster many selections at a time, their chains
// of additions in step (value_selections), than one at a time: the terms
// are an array of doubles, added row by row.
bool values_together(const RaceTask& task);

// The selection of the cells set in scratch.taken, its value left to
// value_selections (NaN until then); the scratch takes the spare storage.
Selection unvalued_selection(RaceScratch& scratch);

// Every selection's exact value, bit for bit as finish_selection makes it,
// on the pool.
void value_selections(const RaceTask& task, std::vector<Selection>& selections);

}  // namespace allotra
