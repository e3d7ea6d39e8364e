// Blocks from the heap, or mapped straight from the system from
// direct_map_bytes on.
#include "kernel/memory/large_storage.hpp"

#include <cstring>

#include "kernel/platform/platform.hpp"

namespace allotra {

namespace {

std::atomic<std::size_t> mapped_in_use{0};

bool mapped(std::size_t bytes) { return bytes >= direct_map_bytes; }

}  // namespace

void* obtain_storage(std::size_t bytes, std::size_t alignment, bool zeroed) {
    if (bytes == 0) bytes = 1;
    if (mapped(bytes)) {
        void* block = platform::map_zeroed_pages(bytes, alignment);
        if (block == nullptr) throw std::bad_alloc();
        mapped_in_use.fetch_add(bytes, std::memory_order_relaxed);
        // Before the first write, so that the pages are large from the start.
        if (alignment >= platform::large_page_bytes) platform::advise_large_pages(block, bytes);
        return block;  // already zeros
    }
    void* block = ::operator new(bytes, std::align_val_t{alignment});
    if (zeroed) std::memset(block, 0, bytes);
    return block;
}

void release_storage(void* block, std::size_t bytes, std::size_t alignment) noexcept {
    if (block == nullptr) return;
    if (bytes == 0) bytes = 1;
    if (mapped(bytes)) {
        platform::unmap_pages(block, bytes);
        mapped_in_use.fetch_sub(bytes, std::memory_order_relaxed);
        return;
    }
    ::operator delete(block, std::align_val_t{alignment});
}

std::size_t mapped_bytes_in_use() noexcept { return mapped_in_use.load(std::memory_order_relaxed); }

}  // namespace allotra
