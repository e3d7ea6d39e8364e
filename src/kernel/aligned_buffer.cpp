// Aligned, zero-filled storage, on a large page where it is that large.
#include "kernel/aligned_buffer.hpp"

#include "kernel/platform/platform.hpp"

namespace allotra {

std::unique_ptr<void, StorageRelease> aligned_zeros(std::size_t bytes) {
    const std::size_t alignment = bytes >= platform::large_page_bytes ? platform::large_page_bytes : 64;
    return std::unique_ptr<void, StorageRelease>(obtain_storage(bytes, alignment, true),
                                                 StorageRelease{bytes, alignment});
}

}  // namespace allotra
