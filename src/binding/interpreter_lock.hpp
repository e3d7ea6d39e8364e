// The interpreter lock given up for a stretch of native work, and taken back
// for the moments that need Python (signals, a callback, the result).
#pragma once

#include "binding/python.hpp"

namespace allotra::binding {

class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    // Runs `body` holding the lock, and gives it up again however body ends.
    // Only on the thread that released it.
    template <typename Body>
    decltype(auto) with_lock(Body&& body) {
        PyEval_RestoreThread(state_);
        const GivenUpAgain again{state_};
        return body();
    }

private:
    struct GivenUpAgain {
        PyThreadState*& state;
        ~GivenUpAgain() { state = PyEval_SaveThread(); }
    };
    PyThreadState* state_;
};

}  // namespace allotra::binding
