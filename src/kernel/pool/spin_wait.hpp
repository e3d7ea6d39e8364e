// A short busy wait for a condition that another thread is about to make
// true, for the hand-overs where a sleep and a wake-up would cost more than
// the wait itself, and only while the machine has cores to spare.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>

#include "kernel/platform/platform.hpp"

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

// Until this steady-clock reading (in ticks), the machine counts as busy and
// nobody spins. Shared by all threads of the process: what one waiter learns
// about the cores holds for all. Relaxed: it is only a hint.
inline std::atomic<std::int64_t> spinning_paused_until{0};

// A look plus a yield takes well under a microsecond when the core is free;
// coming back this much later means another thread had the core meanwhile
// (another process's, or the pool's own when it has more threads than there
// are cores: either way, cores are short).
inline constexpr auto kept_off_the_core = std::chrono::microseconds(50);
// How long spinning then stays off. Long against a time slice, so that the
// probe that finds the machine busy again costs little; short enough that a
// solver on a machine that has gone quiet soon spins again.
inline constexpr auto pause_spinning_for = std::chrono::milliseconds(100);

// Whether a waiter kept off its core was kept off by other processes: more
// threads of the machine are runnable than `own` (the pool's threads and its
// caller, which on a machine with no more cores than that take turns on them
// and delay each other's yields a little). Where the system does not tell,
// a late return counts as other processes' doing.
inline bool others_keep_the_cores_busy(std::size_t own) {
    const std::optional<std::size_t> runnable = platform::runnable_threads();
    return !runnable || *runnable > own;
}

// Watches `done` until it is true or about `limit` has passed; the caller
// looks at its own condition again afterwards (and then sleeps). `own` is the
// number of threads of the pool that may be spinning or working, its caller
// included.
// Every 16th look also yields the time slice, so that a spinning thread does
// not starve the thread it waits for when there are no more cores than
// threads; the clock is read only then, since it costs more than a look.
// When other processes keep the cores busy, though, a yield hands the core to
// one of them for a whole slice (milliseconds), and a batch that arrives or
// ends meanwhile finds this thread neither running nor asleep, so no wake-up
// brings it back sooner: every batch would pay a slice. So a waiter that was
// kept off its core stops at once and turns spinning off for everyone for a
// while; sleeping waiters are woken, and a woken thread gets a core sooner.
template <typename Done>
void spin_until(const Done& done, std::chrono::microseconds limit, std::size_t own) {
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    if (last.time_since_epoch().count() < spinning_paused_until.load(std::memory_order_relaxed)) return;
    const auto end = last + limit;
    for (unsigned look = 1; !done(); ++look) {
        cpu_relax();
        if (look % 16 == 0) {
            std::this_thread::yield();
            const auto now = clock::now();
            if (now - last > kept_off_the_core) {
                if (others_keep_the_cores_busy(own)) {
                    spinning_paused_until.store((now + pause_spinning_for).time_since_epoch().count(),
                                                std::memory_order_relaxed);
                }
                return;
            }
            if (now >= end) return;
            last = now;
        }
    }
}

}  // namespace allotra
