// The interpreter lock given up for a stretch of native work, and taken back
// for the moments that need Python (signals, a callback, the result); and
// what a thread does instead when the interpreter is shutting down.
//
// Once the interpreter shuts down, a thread other than the one that shuts it
// down is ended when it takes the lock back: on POSIX by pthread_exit, which
// unwinds the thread's stack by force. Our frames cannot pass that unwind on:
// the call guard and the interrupt poll are noexcept and catch everything,
// and a lock's destructor that ran on the way would give up a lock the thread
// no longer holds. So a thread that finds the interpreter shutting down never
// takes the lock back: it parks for good (park_this_thread), after sending
// the workers away from its batch; the process is ending anyway. The check
// and the taking back are not one step, so shutdown may still begin in
// between; then the unwind comes out of PyEval_RestoreThread (or out of the
// Python code run with the lock), and the handler right there parks the
// thread inside the unwind, which never goes further and is never finished.
#pragma once

#include <exception>

#include "binding/python.hpp"
#include "kernel/pool/worker_pool.hpp"

namespace allotra::binding {

// Readable without the lock: the interpreter's flag is atomic.
inline bool interpreter_exiting() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Runs `body` (which may take the lock back, or run Python code that hands
// the lock around); a forced unwind out of it parks the thread. A C++
// exception goes on as it is: only a foreign exception, the unwind that ends
// a thread, has no exception object to show (std::current_exception is null).
template <typename Body>
decltype(auto) parked_if_ended(Body&& body) {
    try {
        return body();
    } catch (...) {
        if (!std::current_exception()) park_this_thread();
        throw;
    }
}

inline void take_lock_back(PyThreadState* state) {
    if (interpreter_exiting()) park_this_thread();
    parked_if_ended([state] { PyEval_RestoreThread(state); });
}

class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~LockReleased() { take_lock_back(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    // Runs `body` holding the lock, and gives it up again however body ends.
    // Only on the thread that released it.
    template <typename Body>
    decltype(auto) with_lock(Body&& body) {
        take_lock_back(state_);
        const GivenUpAgain again{state_};
        return parked_if_ended(body);
    }

private:
    struct GivenUpAgain {
        PyThreadState*& state;
        ~GivenUpAgain() { state = PyEval_SaveThread(); }
    };
    PyThreadState* state_;
};

}  // namespace allotra::binding
