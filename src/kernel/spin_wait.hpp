// A short busy wait for a condition that another thread is about to make
// true, for the hand-overs where a sleep and a wake-up would cost more than
// the wait itself.
#pragma once

#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define ALLOTRA_PAUSE_X86 1
#include <immintrin.h>
#elif (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__aarch64__) || (defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7))
#define ALLOTRA_YIELD_ASM 1
#elif defined(_MSC_VER) && (defined(_M_ARM64) || defined(_M_ARM))
#define ALLOTRA_YIELD_INTRINSIC 1
#include <intrin.h>
#endif

namespace allotra {

// Tells the processor that this is a spin loop, which frees the core for its
// other hardware thread; where no such hint is available, giving up the time
// slice is the closest thing.
inline void cpu_relax() {
#if defined(ALLOTRA_PAUSE_X86)
    _mm_pause();
#elif defined(ALLOTRA_YIELD_ASM)
    __asm__ __volatile__("yield");
#elif defined(ALLOTRA_YIELD_INTRINSIC)
    __yield();
#else
    std::this_thread::yield();
#endif
}

#undef ALLOTRA_PAUSE_X86
#undef ALLOTRA_YIELD_ASM
#undef ALLOTRA_YIELD_INTRINSIC

// Watches `done` until it is true or about `limit` has passed; the caller
// looks at its own condition again afterwards.
// Every 16th look also yields the time slice, so that a spinning thread does
// not starve the thread it waits for when there are no more cores than
// threads; the clock is read only then, since it costs more than a look.
template <typename Done>
void spin_until(const Done& done, std::chrono::microseconds limit) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + limit;
    for (unsigned look = 1; !done(); ++look) {
        cpu_relax();
        if (look % 16 == 0) {
            std::this_thread::yield();
            if (clock::now() >= end) return;
        }
    }
}

}  // namespace allotra
