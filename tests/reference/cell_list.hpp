// The tests' list of row-major flat cell indices (i * n + j), in the order
// the cells were visited: 4 bytes per cell while every index is below 2^32,
// and 8 bytes from the first one that is not, since grids with 2^32 cells or
// more are rare but valid. The module itself hands selections on as bitmaps
// (kernel/selection.hpp); cells_of lists a bitmap's cells.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <vector>

#include "kernel/memory/uninitialized_allocator.hpp"
#include "kernel/selection.hpp"

namespace allotra {

class CellList {
public:
    class Iterator;

    CellList() = default;
    CellList(std::initializer_list<std::uint64_t> cells) {
        for (std::uint64_t cell : cells) push_back(cell);
    }

    std::uint64_t size() const noexcept { return wide_mode_ ? wide_.size() : narrow_.size(); }
    bool empty() const noexcept { return size() == 0; }
    std::uint64_t operator[](std::uint64_t k) const noexcept { return wide_mode_ ? wide_[k] : narrow_[k]; }

    // How many cells the storage holds without growing.
    std::uint64_t capacity() const noexcept { return wide_mode_ ? wide_.capacity() : narrow_.capacity(); }

    void reserve(std::uint64_t count) {
        if (wide_mode_) {
            wide_.reserve(count);
        } else {
            narrow_.reserve(count);
        }
    }
    // Empties the list and keeps its storage.
    void clear() noexcept {
        narrow_.clear();
        wide_.clear();
    }
    void push_back(std::uint64_t cell) {
        if (!wide_mode_ && cell > std::numeric_limits<std::uint32_t>::max()) widen();
        if (wide_mode_) {
            wide_.push_back(cell);
        } else {
            narrow_.push_back(static_cast<std::uint32_t>(cell));
        }
    }

    // The list becomes the positions of the set bits of `words` (bit k of
    // word w is cell 64 w + k), ascending; `count` is how many bits are set.
    void assign_set_bits(const std::vector<std::uint64_t>& words, std::uint64_t count) {
        clear();
        wide_mode_ = words.size() * 64 > std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;
        if (wide_mode_) {
            fill_from_bits(wide_, words, count);
        } else {
            fill_from_bits(narrow_, words, count);
        }
    }

    Iterator begin() const noexcept;
    Iterator end() const noexcept;

private:
    template <typename Index>
    static void fill_from_bits(UninitializedVector<Index>& to, const std::vector<std::uint64_t>& words,
                               std::uint64_t count) {
        to.resize(count);
        Index* out = to.data();
        for (std::uint64_t w = 0; w < words.size(); ++w) {
            for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
                *out++ = static_cast<Index>(w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits)));
            }
        }
    }

    void widen() {
        wide_.assign(narrow_.begin(), narrow_.end());
        narrow_ = {};
        wide_mode_ = true;
    }

    UninitializedVector<std::uint32_t> narrow_;
    UninitializedVector<std::uint64_t> wide_;
    bool wide_mode_ = false;
};

// Random access by position, so that sorted lists can be searched.
class CellList::Iterator {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::uint64_t;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::uint64_t;

    Iterator() = default;
    Iterator(const CellList* list, std::uint64_t position) : list_(list), position_(position) {}

    std::uint64_t operator*() const noexcept { return (*list_)[position_]; }
    std::uint64_t operator[](difference_type k) const noexcept {
        return (*list_)[position_ + static_cast<std::uint64_t>(k)];
    }
    Iterator& operator++() noexcept {
        ++position_;
        return *this;
    }
    Iterator operator++(int) noexcept {
        Iterator before = *this;
        ++position_;
        return before;
    }
    Iterator& operator--() noexcept {
        --position_;
        return *this;
    }
    Iterator operator--(int) noexcept {
        Iterator before = *this;
        --position_;
        return before;
    }
    Iterator& operator+=(difference_type k) noexcept {
        position_ += static_cast<std::uint64_t>(k);
        return *this;
    }
    Iterator& operator-=(difference_type k) noexcept {
        position_ -= static_cast<std::uint64_t>(k);
        return *this;
    }
    friend Iterator operator+(Iterator it, difference_type k) noexcept { return it += k; }
    friend Iterator operator+(difference_type k, Iterator it) noexcept { return it += k; }
    friend Iterator operator-(Iterator it, difference_type k) noexcept { return it -= k; }
    friend difference_type operator-(const Iterator& a, const Iterator& b) noexcept {
        return static_cast<difference_type>(a.position_) - static_cast<difference_type>(b.position_);
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.position_ == b.position_; }
    friend bool operator!=(const Iterator& a, const Iterator& b) noexcept { return a.position_ != b.position_; }
    friend bool operator<(const Iterator& a, const Iterator& b) noexcept { return a.position_ < b.position_; }
    friend bool operator>(const Iterator& a, const Iterator& b) noexcept { return a.position_ > b.position_; }
    friend bool operator<=(const Iterator& a, const Iterator& b) noexcept { return a.position_ <= b.position_; }
    friend bool operator>=(const Iterator& a, const Iterator& b) noexcept { return a.position_ >= b.position_; }

private:
    const CellList* list_ = nullptr;
    std::uint64_t position_ = 0;
};

inline CellList::Iterator CellList::begin() const noexcept { return Iterator(this, 0); }
inline CellList::Iterator CellList::end() const noexcept { return Iterator(this, size()); }

// The chosen cells, ascending.
inline CellList cells_of(const Selection& selection) {
    CellList cells;
    cells.assign_set_bits(selection.taken, taken_count(selection.taken));
    return cells;
}

}  // namespace allotra
