// Linux first; macOS shares everything but the random source and the
// processor count.
#if !defined(_WIN32)

#include "kernel/platform/platform.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__linux__)
#include <sched.h>
#include <sys/random.h>
#endif

namespace allotra::platform {

void secure_random_bytes(void* out, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(out);
#if defined(__linux__)
    while (count > 0) {
        ssize_t got = getrandom(bytes, count, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::fputs("allotra: the operating system's secure random source failed\n", stderr);
            std::abort();
        }
        bytes += got;
        count -= static_cast<std::size_t>(got);
    }
#else
    // getentropy delivers at most 256 bytes per call.
    while (count > 0) {
        std::size_t chunk = count < 256 ? count : 256;
        if (getentropy(bytes, chunk) != 0) {
            std::fputs("allotra: the operating system's secure random source failed\n", stderr);
            std::abort();
        }
        bytes += chunk;
        count -= chunk;
    }
#endif
}

std::size_t available_processors() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
#endif
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 0;
}

std::optional<std::size_t> runnable_threads() {
#if defined(__linux__)
    // The "procs_running" line of /proc/stat counts runnable threads.
    std::FILE* stat = std::fopen("/proc/stat", "r");
    if (stat == nullptr) return std::nullopt;
    char line[256];
    std::optional<std::size_t> running;
    while (std::fgets(line, sizeof line, stat) != nullptr) {
        unsigned long count = 0;
        if (std::sscanf(line, "procs_running %lu", &count) == 1) {
            running = static_cast<std::size_t>(count);
            break;
        }
    }
    std::fclose(stat);
    return running;
#else
    return std::nullopt;
#endif
}

std::optional<std::string> environment_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

void at_fork_child(void (*handler)()) { pthread_atfork(nullptr, nullptr, handler); }

void advise_large_pages(void* start, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Transparent huge pages set to "madvise" back only the ranges asked for.
    (void)madvise(start, bytes, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

void* map_zeroed_pages(std::size_t bytes, std::size_t alignment) {
    // A mapping starts on a page; a larger boundary is cut out of a mapping
    // larger by the alignment, and the ends beyond it go back at once.
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t extra = alignment > page ? alignment : 0;
    void* mapped = mmap(nullptr, bytes + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    if (extra == 0) return mapped;
    const auto first = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t start = (first + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
    const std::uintptr_t end = (start + bytes + page - 1) & ~(std::uintptr_t{page} - 1);
    if (start > first) (void)munmap(mapped, start - first);
    if (first + bytes + extra > end) (void)munmap(reinterpret_cast<void*>(end), first + bytes + extra - end);
    return reinterpret_cast<void*>(start);
}

void unmap_pages(void* start, std::size_t bytes) noexcept { (void)munmap(start, bytes); }

}  // namespace allotra::platform

#endif
