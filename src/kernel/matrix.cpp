// Matrix sizes checked against what can be addressed, and their allocation.
#include "kernel/matrix.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "kernel/platform/platform.hpp"

namespace allotra {

std::uint64_t checked_element_count(std::uint64_t m, std::uint64_t n) {
    constexpr std::uint64_t max_count = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    // The product of the non-zero dimensions must be representable, even when
    // the other dimension is 0.
    std::uint64_t a = m == 0 ? 1 : m;
    std::uint64_t b = n == 0 ? 1 : n;
    if (a > max_count / b) {
        fail("shape too large: " + std::to_string(m) + " x " + std::to_string(n));
    }
    std::uint64_t count = m * n;
    if (count > (max_count - 7) / 8) {
        fail("capacity overflow");
    }
    return count;
}

template <typename T>
Matrix<T> allocate_matrix(std::uint64_t m, std::uint64_t n, bool zero_filled) {
    std::uint64_t count = checked_element_count(m, n);
    Matrix<T> matrix;
    matrix.rows = m;
    matrix.cols = n;
    if (count == 0) {
        return matrix;
    }
    // Large ones mapped straight from the system: the Task's copies and the
    // answer among them (large_storage.hpp). Every element is written, so
    // large pages cost no memory and spare a fault every 4 KiB.
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(T);
    const std::size_t alignment = bytes >= platform::large_page_bytes ? platform::large_page_bytes : 64;
    matrix.elements = std::unique_ptr<T[], StorageRelease>(
        static_cast<T*>(obtain_storage(bytes, alignment, zero_filled)), StorageRelease{bytes, alignment});
    matrix.row_stride = static_cast<std::int64_t>(n);
    matrix.col_stride = 1;
    return matrix;
}

template Matrix<std::int64_t> allocate_matrix<std::int64_t>(std::uint64_t, std::uint64_t, bool);
template Matrix<double> allocate_matrix<double>(std::uint64_t, std::uint64_t, bool);

IntMatrix zero_int_matrix(std::uint64_t m, std::uint64_t n) {
    return allocate_matrix<std::int64_t>(m, n, true);
}

FloatMatrix filled_float_matrix(std::uint64_t m, std::uint64_t n, double value) {
    bool all_bits_zero = value == 0.0 && !std::signbit(value);
    FloatMatrix matrix = allocate_matrix<double>(m, n, all_bits_zero);
    if (!all_bits_zero) {
        std::fill_n(matrix.elements.get(), matrix.size(), value);
    }
    return matrix;
}

WideInt exact_sum(const IntMatrix& matrix) {
    WideInt sum = 0;
    for_each_element(matrix, [&](std::int64_t element) { sum += element; });
    return sum;
}

}  // namespace allotra
