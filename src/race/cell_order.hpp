// Cells in an order of their own (the cells by amount), 4 bytes a cell while
// every index fits, else 8: the order lives as long as a solve, beside the
// task.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/memory/uninitialized_allocator.hpp"

namespace allotra {

class CellOrder {
public:
    CellOrder() = default;
    // Takes `cells`: 4 bytes an index, or 8.
    explicit CellOrder(UninitializedVector<std::uint32_t>&& cells) : narrow_(std::move(cells)) {}
    explicit CellOrder(UninitializedVector<std::uint64_t>&& cells) : wide_(std::move(cells)) {}

    std::uint64_t size() const noexcept { return narrow_.empty() ? wide_.size() : narrow_.size(); }
    bool empty() const noexcept { return size() == 0; }
    // The branch goes the same way for every position: predicted.
    std::uint64_t operator[](std::uint64_t p) const noexcept { return narrow_.empty() ? wide_[p] : narrow_[p]; }

    // f(pointer to the first index), with the list's own index type.
    template <typename F>
    decltype(auto) visit(F&& f) const {
        return narrow_.empty() ? f(wide_.data()) : f(narrow_.data());
    }

private:
    UninitializedVector<std::uint32_t> narrow_;
    UninitializedVector<std::uint64_t> wide_;
};

}  // namespace allotra
