// For tests only: lets the native tests reach the pool's failure path, which a
// healthy machine never takes. Besides the tests, only the pool's own code
// includes this header.
#pragma once

#include <atomic>
#include <cstddef>

namespace allotra::testing {

// Runs just before the pool starts each of its threads, with the thread's
// number and the pool's size. It may throw std::system_error, as the start of
// a thread does when the operating system refuses one. Null unless a test
// sets it; a pool that exists already is not affected, but one that a fork
// child builds afresh is.
using ThreadStartHook = void (*)(std::size_t worker, std::size_t size);
extern std::atomic<ThreadStartHook> thread_start_hook;

}  // namespace allotra::testing
