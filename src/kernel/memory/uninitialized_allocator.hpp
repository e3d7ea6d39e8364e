// Vectors of plain numbers that leave new elements unwritten on resize, for
// lists that are sized first and then written in full; large ones mapped
// straight from the system (large_storage.hpp).
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "kernel/memory/large_storage.hpp"

namespace allotra {

// Filling such a list with zeros first would be a second pass over it, and
// would fault in pages that the list may never use.
template <typename T>
struct UninitializedAllocator : LargeAllocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <typename T>
using UninitializedVector = std::vector<T, UninitializedAllocator<T>>;

}  // namespace allotra
