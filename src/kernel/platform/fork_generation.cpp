// The count of forks this process descends from, raised in the child.
#include "kernel/platform/fork_generation.hpp"

#include <atomic>

#include "kernel/platform/platform.hpp"

namespace allotra {

namespace {

std::atomic<std::uint64_t> generation{0};

// Runs in the child before fork() returns there. It only counts: no lock, no
// allocation, nothing that another thread of the parent may have held when
// the process was copied. Whatever depends on the count rebuilds itself
// lazily, on its next use in the child.
void on_fork_child() { generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_generation() {
    // The first caller registers the handler; anything stamped by a caller
    // already lives under it.
    static const bool registered = (platform::at_fork_child(&on_fork_child), true);
    (void)registered;
    // Relaxed suffices: the handler runs while the child has a single thread,
    // and nothing else ever changes the value.
    return generation.load(std::memory_order_relaxed);
}

}  // namespace allotra
