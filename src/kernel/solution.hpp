// The answer of a solve: the m x n 0/1 matrix of the chosen cells and its
// value, as the binding hands it back to Python.
#pragma once

#include "kernel/matrix.hpp"

namespace allotra {

struct Solution {
    IntMatrix x;
    double value = 0.0;
};

}  // namespace allotra
