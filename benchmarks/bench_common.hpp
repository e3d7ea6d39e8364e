// What the native benchmarks share: a task to fill in, and the median.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernel/matrix.hpp"
#include "model/task.hpp"

namespace bench {

// An m x n task of zero values, amounts and discounts, in row-major
// matrices, for the caller to fill in (b_total is left at 0).
inline allotra::Task blank_task(std::uint64_t m, std::uint64_t n) {
    allotra::Task task;
    task.m = m;
    task.n = n;
    task.c = allotra::zero_int_matrix(m, n);
    task.b_ij = allotra::zero_int_matrix(m, n);
    task.omega = allotra::filled_float_matrix(m, n, 0.0);
    return task;
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

}  // namespace bench
