// The portable forms of the work over taken cells, and the choice of the AVX2
// forms where they run.
#include "kernel/simd/taken_cells.hpp"

#include "kernel/selection.hpp"
#include "kernel/simd/simd_dispatch.hpp"
#if defined(ALLOTRA_AVX2_KERNELS)
#include "kernel/simd/avx2_kernels.hpp"
#endif

namespace allotra {

namespace portable {

std::uint64_t sum_taken(const std::int64_t* values, const std::uint64_t* taken, std::uint64_t begin,
                        std::uint64_t end) {
    std::uint64_t sum = 0;
    for_each_taken(taken, begin, end, [&](std::uint64_t cell) { sum += static_cast<std::uint64_t>(values[cell]); });
    return sum;
}

void add_where_taken(double* cells, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
                     double amount) {
    for_each_taken(taken, begin, end, [&](std::uint64_t cell) { cells[cell] += amount; });
}

void chain_sums(const double* terms, const std::uint64_t* const* taken, std::size_t count, std::uint64_t begin,
                std::uint64_t end, double* sums) {
    for (std::size_t a = 0; a < count; ++a) {
        double sum = sums[a];
        for_each_taken(taken[a], begin, end, [&](std::uint64_t cell) { sum = sum + terms[cell]; });
        sums[a] = sum;
    }
}

void lane_sums(const double* terms, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
               double* lanes) {
    for_each_taken(taken, begin, end, [&](std::uint64_t cell) {
        double& lane = lanes[cell % lane_count];
        lane = lane + terms[cell];
    });
}

}  // namespace portable

double lane_total(const double* lanes) {
    // As the AVX2 form's four registers of four lanes meet: the registers in
    // pairs, then the four lanes of their sum in pairs.
    double joined[4];
    for (std::size_t k = 0; k < 4; ++k) joined[k] = (lanes[k] + lanes[k + 4]) + (lanes[k + 8] + lanes[k + 12]);
    return (joined[0] + joined[1]) + (joined[2] + joined[3]);
}

void lane_sums(const double* terms, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
               double* lanes) {
#if defined(ALLOTRA_AVX2_KERNELS)
    if (simd::use_avx2()) {
        avx2::lane_sums(terms, taken, begin, end, lanes);
        return;
    }
#endif
    portable::lane_sums(terms, taken, begin, end, lanes);
}

std::uint64_t sum_taken(const std::int64_t* values, const std::uint64_t* taken, std::uint64_t begin,
                        std::uint64_t end) {
#if defined(ALLOTRA_AVX2_KERNELS)
    if (simd::use_avx2()) return avx2::sum_taken(values, taken, begin, end);
#endif
    return portable::sum_taken(values, taken, begin, end);
}

void add_where_taken(double* cells, const std::uint64_t* taken, std::uint64_t begin, std::uint64_t end,
                     double amount) {
#if defined(ALLOTRA_AVX2_KERNELS)
    if (simd::use_avx2()) {
        avx2::add_where_taken(cells, taken, begin, end, amount);
        return;
    }
#endif
    portable::add_where_taken(cells, taken, begin, end, amount);
}

void chain_sums(const double* terms, const std::uint64_t* const* taken, std::size_t count, std::uint64_t begin,
                std::uint64_t end, double* sums) {
#if defined(ALLOTRA_AVX2_KERNELS)
    if (simd::use_avx2()) {
        avx2::chain_sums(terms, taken, count, begin, end, sums);
        return;
    }
#endif
    portable::chain_sums(terms, taken, count, begin, end, sums);
}

}  // namespace allotra
