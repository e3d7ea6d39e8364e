// How good a selection can be: the optimum of the task's continuous
// relaxation, in which every cell may be taken in any fraction from 0 to 1
// and the budget is kept. No selection of finite value is worth more, so a
// run reports it beside its best value, and 1 - value / bound bounds the gap
// to the optimum.
#pragma once

#include <cstdint>

#include "kernel/pool/chunked.hpp"
#include "model/task.hpp"

namespace allotra {

// The relaxation's optimum, never below its exact value, and at or above the
// value the objective computes for any selection of finite value (in any
// order of adding its terms): a cell's value is c * (1 - omega) as the
// objective forms it, a NaN one belongs to no such selection, and amounts
// are summed exactly. Rounding can only raise it, by at most about
// 8 (cells + 2) 2^-53 times the sum of the cells' magnitudes. 0.0 where no
// cell has a value above 0.
//
// Two passes over the cells on the pool, with no sort: the first sums the
// amounts of the cells by bands of their value density, which finds the band
// where the budget runs out; the second gathers that band's cells, among
// which a selection finds the density at which it runs out. `chunk` sets the
// passes' chunks (tests make it small); the result does not depend on how
// many threads run them.
double relaxation_bound(const Task& task, std::uint64_t chunk = default_chunk);

}  // namespace allotra
