// Owned two-dimensional arrays of int64 or float64 elements with signed
// strides counted in elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "kernel/error.hpp"
#include "kernel/memory/large_storage.hpp"
#include "kernel/wide_int.hpp"

namespace allotra {

template <typename T>
struct Matrix {
    // The buffer holds rows*cols elements; `origin` is the offset of element
    // (0, 0) within it, which is not 0 when a stride runs backwards.
    std::unique_ptr<T[], StorageRelease> elements;
    std::uint64_t rows = 0;
    std::uint64_t cols = 0;
    std::int64_t row_stride = 0;
    std::int64_t col_stride = 0;
    std::int64_t origin = 0;

    std::uint64_t size() const noexcept { return rows * cols; }

    // Unchecked address of element (i, j); callers have checked the bounds.
    T* ptr(std::uint64_t i, std::uint64_t j) noexcept {
        return elements.get() + origin + static_cast<std::int64_t>(i) * row_stride +
               static_cast<std::int64_t>(j) * col_stride;
    }
    const T* ptr(std::uint64_t i, std::uint64_t j) const noexcept {
        return elements.get() + origin + static_cast<std::int64_t>(i) * row_stride +
               static_cast<std::int64_t>(j) * col_stride;
    }

    T& at(std::uint64_t i, std::uint64_t j) {
        check_index(i, j);
        return *ptr(i, j);
    }
    const T& at(std::uint64_t i, std::uint64_t j) const {
        check_index(i, j);
        return *ptr(i, j);
    }

    bool is_row_major() const noexcept {
        return row_stride == static_cast<std::int64_t>(cols) && col_stride == 1;
    }
    bool is_col_major() const noexcept {
        return row_stride == 1 && col_stride == static_cast<std::int64_t>(rows);
    }

    void check_index(std::uint64_t i, std::uint64_t j) const {
        if (i >= rows || j >= cols) {
            fail("index out of bounds: (" + std::to_string(i) + ", " + std::to_string(j) +
                 ") in a " + std::to_string(rows) + " x " + std::to_string(cols) + " matrix");
        }
    }
};

using IntMatrix = Matrix<std::int64_t>;
using FloatMatrix = Matrix<double>;

// Calls visit(i, j) for every cell of a rows x cols grid: row by row (j
// fastest), or column by column when `by_column`. Sums over the cells depend
// on this order, so it is fixed here for every walk.
template <typename Visit>
void for_each_cell(std::uint64_t rows, std::uint64_t cols, bool by_column, Visit&& visit) {
    if (by_column) {
        for (std::uint64_t j = 0; j < cols; ++j) {
            for (std::uint64_t i = 0; i < rows; ++i) visit(i, j);
        }
    } else {
        for (std::uint64_t i = 0; i < rows; ++i) {
            for (std::uint64_t j = 0; j < cols; ++j) visit(i, j);
        }
    }
}

// Calls visit(element) for every element, row by row; a row-major matrix is
// read as one flat run.
template <typename T, typename Visit>
void for_each_element(const Matrix<T>& matrix, Visit&& visit) {
    if (matrix.size() == 0) return;
    if (matrix.is_row_major()) {
        const T* flat = matrix.ptr(0, 0);
        for (std::uint64_t k = 0, count = matrix.size(); k < count; ++k) visit(flat[k]);
        return;
    }
    for_each_cell(matrix.rows, matrix.cols, false, [&](std::uint64_t i, std::uint64_t j) { visit(*matrix.ptr(i, j)); });
}

// Checks that an m x n matrix of 8-byte elements can be represented and
// returns its element count; throws "shape too large" or "capacity overflow".
std::uint64_t checked_element_count(std::uint64_t m, std::uint64_t n);

// Allocates an uninitialised row-major buffer for m x n elements (no buffer
// when the matrix is empty). Throws std::bad_alloc when memory is refused.
template <typename T>
Matrix<T> allocate_matrix(std::uint64_t m, std::uint64_t n, bool zero_filled);

IntMatrix zero_int_matrix(std::uint64_t m, std::uint64_t n);
FloatMatrix filled_float_matrix(std::uint64_t m, std::uint64_t n, double value);

// Exact sum of all elements (m*n < 2^63 terms, see wide_int.hpp).
WideInt exact_sum(const IntMatrix& matrix);

}  // namespace allotra
