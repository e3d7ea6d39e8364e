// What the native benchmarks share: a task to fill in, and the median.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
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

// A task of one family, from `seed`: b_ij in [1, 100] and c independent of
// it ("uncorrelated"), within 10 of it and at least 1 ("weak") or b_ij + 10
// ("strong"); discounts in [0, top_discount] where `discounted`, else none;
// the budget `budget_share` of the sum of b_ij.
inline allotra::Task family_task(const std::string& family, std::uint64_t m, std::uint64_t n, std::uint64_t seed,
                                 bool discounted, double budget_share, double top_discount = 0.3) {
    std::mt19937_64 engine(seed);
    std::uniform_int_distribution<std::int64_t> amount(1, 100);
    std::uniform_int_distribution<std::int64_t> spread(-10, 10);
    std::uniform_real_distribution<double> discount(0.0, top_discount);
    allotra::Task task = blank_task(m, n);
    std::int64_t total = 0;
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t j = 0; j < n; ++j) {
            const std::int64_t b = amount(engine);
            std::int64_t c = amount(engine);
            if (family == "weak") c = std::max<std::int64_t>(1, b + spread(engine));
            if (family == "strong") c = b + 10;
            task.c.at(i, j) = c;
            task.b_ij.at(i, j) = b;
            if (discounted) task.omega.at(i, j) = discount(engine);
            total += b;
        }
    }
    task.b_total = std::max<std::int64_t>(1, static_cast<std::int64_t>(static_cast<double>(total) * budget_share));
    return task;
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

}  // namespace bench
