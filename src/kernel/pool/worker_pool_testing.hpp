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

// Counts the pool threads of this process (of every pool it made) that have
// begun running their own code, past the thread library's start-up, and not
// yet ended (only the threads of a pool that could not start them all end):
// a test that forks waits for it rather than for a guessed pause.
extern std::atomic<std::size_t> threads_running;

}  // namespace allotra::testing
