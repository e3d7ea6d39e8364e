// The run-time choice between the AVX2 and the portable kernels.
#include "kernel/simd/simd_dispatch.hpp"

#include <atomic>

#include "kernel/platform/platform.hpp"

#if defined(ALLOTRA_AVX2_KERNELS) && defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace allotra::simd {

namespace {

std::atomic<bool> forced_portable{false};

#if defined(ALLOTRA_AVX2_KERNELS)
bool processor_has_avx2() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return false;
    __cpuid(info, 1);
    const bool os_saves_ymm = (info[2] & (1 << 27)) != 0;  // OSXSAVE
    const bool avx = (info[2] & (1 << 28)) != 0;
    // The system must save the YMM registers across context switches.
    if (!os_saves_ymm || !avx || (_xgetbv(0) & 0x6) != 0x6) return false;
    __cpuidex(info, 7, 0);
    return (info[1] & (1 << 5)) != 0;
#else
    // Also checks that the system saves the YMM registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#endif
}
#endif

bool avx2_chosen() noexcept {
#if defined(ALLOTRA_AVX2_KERNELS)
    try {
        const auto setting = platform::environment_variable("ALLOTRA_SIMD");
        if (setting && *setting == "portable") return false;
    } catch (...) {
        // Without the setting at hand, the processor decides.
    }
    return processor_has_avx2();
#else
    return false;
#endif
}

}  // namespace

bool use_avx2() noexcept {
    static const bool chosen = avx2_chosen();
    return chosen && !forced_portable.load(std::memory_order_relaxed);
}

namespace testing {
void force_portable(bool on) noexcept { forced_portable.store(on, std::memory_order_relaxed); }
}  // namespace testing

}  // namespace allotra::simd
