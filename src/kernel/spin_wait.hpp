// A short busy wait for a condition that another thread is about to make
// true, for the hand-overs where a sleep and a wake-up would cost more than
// the wait itself.
#pragma once

#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#elif defined(_M_ARM64) && defined(_MSC_VER)
#include <intrin.h>
#endif

namespace allotra {

// Tells the processor that this is a spin loop: the other hardware thread of
// the core gets the execution units, and leaving the loop does not pay for a
// mispredicted memory order. Without such a hint, giving up the time slice is
// the closest thing.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#elif defined(_M_ARM64) && defined(_MSC_VER)
    __yield();
#elif (defined(__aarch64__) || defined(__arm__)) && defined(__GNUC__)
    __asm__ __volatile__("yield");
#else
    std::this_thread::yield();
#endif
}

// Watches `done` for about `limit` and returns whether it came true meanwhile.
// Every 16th look also yields the time slice, so that a spinning thread does
// not starve the thread it waits for when there are no more cores than
// threads; the clock is read only then, since it costs more than a look.
template <typename Done>
bool spin_until(const Done& done, std::chrono::microseconds limit) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + limit;
    for (unsigned look = 1; !done(); ++look) {
        cpu_relax();
        if (look % 16 == 0) {
            std::this_thread::yield();
            if (clock::now() >= end) return false;
        }
    }
    return true;
}

}  // namespace allotra
