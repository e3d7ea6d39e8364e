// Windows: BCryptGenRandom for key material, the processors of the process's
// affinity for the pool size, the process environment block for variables,
// and no fork.
#if defined(_WIN32)

#include "kernel/platform/platform.hpp"

#include <windows.h>
#include <bcrypt.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace allotra::platform {

// BCryptGenRandom with the system-preferred generator, rather than
// ProcessPrng: it is the documented interface, present since Vista, declared
// by every SDK and MinGW-w64 and linked through bcrypt's import library, while
// ProcessPrng is exported by bcryptprimitives.dll without an import library
// and would have to be looked up at run time. Since Windows 10 both are served
// by the same per-process generator that the kernel seeds, so the keys come
// from the same source either way.
void secure_random_bytes(void* out, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(out);
    while (count > 0) {
        ULONG chunk = count > 0x10000000 ? 0x10000000 : static_cast<ULONG>(count);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            std::fputs("allotra: the operating system's secure random source failed\n", stderr);
            std::abort();
        }
        bytes += chunk;
        count -= chunk;
    }
}

// The processors this process may run on, as sched_getaffinity counts them on
// Linux. A job object's affinity limit is applied to the process's mask, so
// it is counted too.
std::size_t available_processors() {
    const HANDLE self = GetCurrentProcess();
    // A process whose threads span several processor groups has no single
    // affinity mask: count the active processors of each of its groups.
    std::vector<USHORT> groups(GetActiveProcessorGroupCount());
    auto group_count = static_cast<USHORT>(groups.size());
    if (group_count > 1 && GetProcessGroupAffinity(self, &group_count, groups.data()) && group_count > 1) {
        std::size_t total = 0;
        for (USHORT i = 0; i < group_count; ++i) total += GetActiveProcessorCount(groups[i]);
        return total;
    }
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(self, &process_mask, &system_mask) && process_mask != 0) {
        return static_cast<std::size_t>(std::popcount(static_cast<unsigned long long>(process_mask)));
    }
    return static_cast<std::size_t>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

// The process environment block, not the C runtime's copy, is what Python's
// os.environ writes to. A set but empty variable reads as 0 characters without
// an error; the value may change between the size query and the read, so the
// read is repeated until the value fits.
std::optional<std::string> environment_variable(const char* name) {
    std::string value;
    DWORD capacity = 0;  // characters, including the terminating null
    for (;;) {
        value.resize(capacity);
        SetLastError(ERROR_SUCCESS);
        const DWORD result = GetEnvironmentVariableA(name, capacity > 0 ? value.data() : nullptr, capacity);
        if (result == 0) {
            if (GetLastError() == ERROR_SUCCESS) return std::string();
            return std::nullopt;  // ERROR_ENVVAR_NOT_FOUND
        }
        if (result < capacity) {
            value.resize(result);
            return value;
        }
        capacity = result;  // too small: the size it needs now
    }
}

void at_fork_child(void (*)()) {}

// Large pages on Windows need a privilege that ordinary processes lack.
void advise_large_pages(void*, std::size_t) {}

std::optional<std::size_t> runnable_threads() { return std::nullopt; }

// VirtualAlloc places a mapping on the allocation granularity (64 KiB); a
// larger boundary is found by reserving more, letting it go and reserving
// again at the boundary inside it, which another thread may take first.
void* map_zeroed_pages(std::size_t bytes, std::size_t alignment) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    if (alignment <= info.dwAllocationGranularity) {
        return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        void* wide = VirtualAlloc(nullptr, bytes + alignment, MEM_RESERVE, PAGE_NOACCESS);
        if (wide == nullptr) return nullptr;
        const auto first = reinterpret_cast<std::uintptr_t>(wide);
        const std::uintptr_t start = (first + alignment - 1) & ~(static_cast<std::uintptr_t>(alignment) - 1);
        VirtualFree(wide, 0, MEM_RELEASE);
        void* placed = VirtualAlloc(reinterpret_cast<void*>(start), bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (placed != nullptr) return placed;
    }
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_pages(void* start, std::size_t) noexcept { VirtualFree(start, 0, MEM_RELEASE); }

}  // namespace allotra::platform

#endif
