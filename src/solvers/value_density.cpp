// The value density of every cell, in parallel chunks.
#include "solvers/value_density.hpp"

#include "kernel/pool/chunked.hpp"

namespace allotra {

FloatMatrix value_density(const Task& task) {
    FloatMatrix density = allocate_matrix<double>(task.m, task.n, false);
    if (density.size() == 0) return density;  // m may be huge when n is 0
    const std::uint64_t n = task.n;
    // In chunks on the pool: every cell's weight is the same arithmetic
    // whichever worker computes it.
    run_in_chunks(task.m * n, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t k = begin; k < end; ++k) {
            const std::uint64_t i = k / n, j = k % n;
            const std::int64_t b = *task.b_ij.ptr(i, j);
            double weight = 0.0;
            if (b != 0) {
                double discounted = 1.0 - *task.omega.ptr(i, j);
                double value = discounted * static_cast<double>(*task.c.ptr(i, j));
                weight = value / static_cast<double>(b);
            }
            *density.ptr(i, j) = weight;
        }
    });
    return density;
}

}  // namespace allotra
