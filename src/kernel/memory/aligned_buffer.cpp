// Aligned, zero-filled storage, backed by large pages where it is that large.
#include "kernel/memory/aligned_buffer.hpp"

#include "kernel/platform/platform.hpp"

namespace allotra {

std::unique_ptr<void, AlignedDelete> aligned_unwritten(std::size_t bytes) {
    const bool large = bytes >= platform::large_page_bytes;
    const std::size_t alignment = large ? platform::large_page_bytes : 64;
    std::unique_ptr<void, AlignedDelete> storage(::operator new[](bytes, std::align_val_t{alignment}),
                                                 AlignedDelete{alignment});
    // Before the first write, so that the pages are large from the start.
    if (large) platform::advise_large_pages(storage.get(), bytes);
    return storage;
}

std::unique_ptr<void, AlignedDelete> aligned_zeros(std::size_t bytes) {
    std::unique_ptr<void, AlignedDelete> storage = aligned_unwritten(bytes);
    std::memset(storage.get(), 0, bytes);
    return storage;
}

}  // namespace allotra
