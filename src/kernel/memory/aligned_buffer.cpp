// Aligned storage, on a large page where it is that large.
#include "kernel/memory/aligned_buffer.hpp"

#include "kernel/platform/platform.hpp"

namespace allotra {

namespace {

std::size_t alignment_for(std::size_t bytes) {
    return bytes >= platform::large_page_bytes ? platform::large_page_bytes : 64;
}

}  // namespace

std::unique_ptr<void, StorageRelease> aligned_zeros(std::size_t bytes) {
    const std::size_t alignment = alignment_for(bytes);
    return std::unique_ptr<void, StorageRelease>(obtain_storage(bytes, alignment, true),
                                                 StorageRelease{bytes, alignment});
}

std::unique_ptr<void, StorageRelease> aligned_unwritten(std::size_t bytes) {
    const std::size_t alignment = alignment_for(bytes);
    return std::unique_ptr<void, StorageRelease>(obtain_storage(bytes, alignment, false),
                                                 StorageRelease{bytes, alignment});
}

}  // namespace allotra
