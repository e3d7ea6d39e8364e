// The operating-system services the kernel needs, behind one small interface:
// secure random bytes, the processor count, environment variables and a hook
// that runs in the child process after fork. Each platform has its own file.
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

// Registers a function that runs in the child process right after fork(),
// before the child does anything else. A no-op where there is no fork.
void at_fork_child(void (*handler)());

}  // namespace allotra::platform
