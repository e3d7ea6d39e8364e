// Storage for the per-cell arrays of a solve. Freeing a large block raises the
// C library's threshold for mapping blocks of their own (glibc does so up to
// 32 MiB), so after a caller has freed big arrays, later blocks of that size
// come from the heap, where a block freed in the middle stays resident: a
// solve's peak would depend on what its caller did before. Blocks of at least
// direct_map_bytes are therefore mapped straight from the system, and go back
// to it when freed; smaller ones come from the heap as usual.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace allotra {

inline constexpr std::size_t direct_map_bytes = std::size_t{1} << 20;

// `bytes` (at least 1) on a boundary of `alignment` (a power of two, at
// least 64; large_page_bytes asks for large pages where the block is mapped).
// Zero-filled where `zeroed`, else of any content. Throws std::bad_alloc.
void* obtain_storage(std::size_t bytes, std::size_t alignment, bool zeroed);
// Gives back what obtain_storage handed out, with the same bytes and alignment.
void release_storage(void* block, std::size_t bytes, std::size_t alignment) noexcept;

// The bytes of mapped blocks not yet given back, so that a test sees which
// sizes were mapped and that every one went back.
std::size_t mapped_bytes_in_use() noexcept;

// The same as a deleter, for blocks owned by a std::unique_ptr.
struct StorageRelease {
    std::size_t bytes = 0;
    std::size_t alignment = 64;
    void operator()(void* block) const noexcept { release_storage(block, bytes, alignment); }
};

// An allocator for vectors of plain numbers whose blocks follow the same rule.
template <typename T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <typename U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    static constexpr std::size_t alignment = alignof(T) > 64 ? alignof(T) : 64;
    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(obtain_storage(count * sizeof(T), alignment, false));
    }
    void deallocate(T* block, std::size_t count) noexcept { release_storage(block, count * sizeof(T), alignment); }
    template <typename U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <typename T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace allotra
