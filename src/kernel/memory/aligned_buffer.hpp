// Zero-filled buffers of plain numbers on a 64-byte boundary. A buffer of a
// large page or more starts on a large page and asks to be backed by large
// pages: constructions read the shared per-cell arrays of a solve at random
// places (the amounts, scales and terms of the cells they take). Large ones
// are mapped straight from the system (large_storage.hpp).
//
// This header, uninitialized_allocator.hpp and large_storage.hpp are the
// kernel's room for the storage of plain numbers, kernel/memory/; it may
// include kernel/platform/ alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "kernel/memory/large_storage.hpp"

namespace allotra {

// `bytes` of zeros (at least 1), released as they were obtained.
std::unique_ptr<void, StorageRelease> aligned_zeros(std::size_t bytes);
// The same bytes unwritten: for a buffer that a parallel pass writes in full,
// whose pages then fault in on every worker rather than in one serial memset.
std::unique_ptr<void, StorageRelease> aligned_unwritten(std::size_t bytes);

template <typename T>
struct AlignedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);
    std::unique_ptr<void, StorageRelease> storage;
    std::uint64_t size = 0;

    T* data() const noexcept { return static_cast<T*>(storage.get()); }
    T& operator[](std::uint64_t k) const noexcept { return data()[k]; }
};

template <typename T>
AlignedBuffer<T> aligned_buffer(std::uint64_t count) {
    // All-zero bytes are 0 and 0.0 for the numbers kept here.
    return AlignedBuffer<T>{aligned_zeros(std::max<std::uint64_t>(count, 1) * sizeof(T)), count};
}

// A buffer whose every element the caller writes before reading it.
template <typename T>
AlignedBuffer<T> unwritten_buffer(std::uint64_t count) {
    return AlignedBuffer<T>{aligned_unwritten(std::max<std::uint64_t>(count, 1) * sizeof(T)), count};
}

}  // namespace allotra
