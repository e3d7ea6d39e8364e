// An element of a matrix by row-major cell index, for passes over a task's
// cells in chunks: the flat array where the matrix is row-major (the usual
// case), else through its strides.
#pragma once

#include <cstdint>

#include "kernel/matrix.hpp"

namespace allotra {

template <typename T>
class CellReader {
public:
    CellReader(const Matrix<T>& matrix, std::uint64_t n)
        : matrix_(matrix), flat_(matrix.is_row_major() && matrix.size() > 0 ? matrix.ptr(0, 0) : nullptr), n_(n) {}
    T operator()(std::uint64_t cell) const noexcept {
        return flat_ != nullptr ? flat_[cell] : *matrix_.ptr(cell / n_, cell % n_);
    }

private:
    const Matrix<T>& matrix_;
    const T* flat_;
    std::uint64_t n_;
};

}  // namespace allotra
