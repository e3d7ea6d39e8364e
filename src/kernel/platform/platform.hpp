// The operating-system services the kernel needs, behind one small interface:
// secure random bytes, the processor count, environment variables, a hook
// that runs in the child process after fork, large buffers mapped straight
// from the system and a hint for them.
// Each platform has its own file.
//
// Beside them, fork_generation.* counts the forks this process descends
// from, through the hook above, for the state that a child must rebuild. This
// room is the kernel's ground: it includes nothing else of the project.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace allotra::platform {

// Fills `out` with bytes from the operating system's cryptographically secure
// source. Never fails: a source that cannot deliver ends the process, since
// running on predictable keys would be worse.
void secure_random_bytes(void* out, std::size_t count);

// Logical processors available to this process (0 when unknown).
std::size_t available_processors();

std::optional<std::string> environment_variable(const char* name);

// Threads of the whole machine that are running or ready to run right now,
// where the system tells (Linux); nothing elsewhere.
std::optional<std::size_t> runnable_threads();

// Registers a function that runs in the child process right after fork(),
// before the child does anything else. A no-op where there is no fork.
void at_fork_child(void (*handler)());

// Large pages cover a buffer with a few address-translation entries instead
// of one per 4 KiB, so reads at random places in it stop missing the
// translation cache too. Asks the system to back [start, start + bytes) with
// them; `start` should lie on a large-page boundary. Only a hint: a no-op
// where the system has no such request or declines it.
inline constexpr std::size_t large_page_bytes = std::size_t{2} << 20;
void advise_large_pages(void* start, std::size_t bytes);

// `bytes` (more than 0) of zeros mapped straight from the system, on a page
// and, where the system lets it, on a boundary of `alignment` (a power of
// two up to large_page_bytes); null where the system refuses. Pages become
// resident only when first written, and unmap_pages(start, bytes) hands them
// all back at once, whatever the C library's heap has learnt from the
// caller's earlier frees.
void* map_zeroed_pages(std::size_t bytes, std::size_t alignment);
void unmap_pages(void* start, std::size_t bytes) noexcept;

}  // namespace allotra::platform
