// Where a run solves and where its Python code runs.
//
// Off the main thread, the calling thread solves, and takes the lock back
// only to run the callback: nothing else of the run needs Python there.
//
// On the main thread, signal handlers must run too, and only there, with the
// lock. Taking the lock back waits for whichever thread holds it, for as long
// as it holds it (a tenth of a second is common), and the batches and the
// colony's update between iterations would wait with it. So there the solving
// moves to a thread of its own, which never touches Python, while the main
// thread keeps the Python side: it takes the lock back every few milliseconds
// for the handlers, runs the callback when the solving thread asks (which
// waits for the answer, as a callback's caller must), and builds the result.
// A handler's exception sets a flag that the solving thread's poll reads.
#include "binding/run_calls.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "binding/errors.hpp"
#include "binding/interpreter_lock.hpp"
#include "binding/py_ref.hpp"
#include "kernel/platform/fork_generation.hpp"
#include "kernel/pool/worker_pool.hpp"

namespace allotra::binding {

namespace {

// How often the main thread takes the lock back for signal handlers: Ctrl-C
// is still answered well within a tenth of a second.
constexpr auto signal_poll_interval = std::chrono::milliseconds(10);

constexpr const char* forked_message =
    "run() cannot go on in a process forked during the run: the threads that solve it exist only in the parent "
    "process";

// Whether the calling thread is the main thread, the only one on which the
// interpreter runs signal handlers.
bool on_main_thread() {
    PyRef threading(check(PyImport_ImportModule("threading")));
    PyRef main(check(PyObject_CallMethod(threading.get(), "main_thread", nullptr)));
    PyRef ident(check(PyObject_GetAttrString(main.get(), "ident")));
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw PythonErrorSet{};
    return main_ident == PyThread_get_thread_ident();
}

// With the lock held: callback(iterations, value, seconds) and whether it
// asks to stop.
bool call_back(PyObject* callback, std::uint64_t iterations, double value, double seconds) {
    PyRef answer(check(
        PyObject_CallFunction(callback, "Kdd", static_cast<unsigned long long>(iterations), value, seconds)));
    const int truthy = PyObject_IsTrue(answer.get());
    if (truthy < 0) throw PythonErrorSet{};
    return truthy == 1;
}

[[noreturn]] void fail_forked() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, forked_message);
    throw PythonErrorSet{};
}

RunOutcome run_on_this_thread(const NativeRun& native, RunOptions& options, PyObject* callback) {
    LockReleased lock;
    // Stops the workers once shutdown has begun: the lock cannot be taken
    // back any more, and the run's end parks this thread.
    options.interrupted = [] { return interpreter_exiting(); };
    if (callback != nullptr) {
        options.progress = [&](std::uint64_t iterations, double value, double seconds) {
            const std::uint64_t process = fork_generation();
            return lock.with_lock([&] {
                const bool stop = call_back(callback, iterations, value, seconds);
                // Between the colony's batches a forked child goes on with a
                // pool of its own; during a batch it cannot.
                if (fork_generation() != process && waiting_for_batch()) fail_forked();
                return stop;
            });
        };
    }
    return native(options);
}

// What the solving thread and the main thread tell each other.
struct Exchange {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    // A progress report waiting for the callback's answer.
    bool asking = false;
    bool answered = false;
    bool answer = false;
    std::uint64_t iterations = 0;
    double value = 0.0;
    double seconds = 0.0;
    // Set by the main thread once its side has failed (a handler or the
    // callback raised): the run ends without a result.
    std::atomic<bool> cancelled{false};

    bool ask(std::uint64_t at, double best, double elapsed) {
        std::unique_lock hold(mutex);
        iterations = at, value = best, seconds = elapsed;
        asking = true;
        changed.notify_all();
        changed.wait(hold, [&] { return answered; });
        answered = false;
        return answer;
    }
};

class MainThreadSide {
public:
    MainThreadSide(LockReleased& lock, Exchange& exchange, PyObject* callback)
        : lock_(lock), exchange_(exchange), callback_(callback) {}

    // Serves the solving thread until it is done; false if this side failed,
    // with the failure kept for after the join. In a forked child the solving
    // thread does not exist: that throws at once.
    bool serve() {
        auto next_poll = std::chrono::steady_clock::now();
        std::unique_lock hold(exchange_.mutex);
        for (;;) {
            exchange_.changed.wait_until(hold, next_poll, [&] { return exchange_.done || exchange_.asking; });
            if (exchange_.done) return !failure_;
            if (exchange_.asking) {
                exchange_.asking = false;
                hold.unlock();
                const bool answer = failure_ || in_python([&] {
                    return call_back(callback_, exchange_.iterations, exchange_.value, exchange_.seconds);
                });
                hold.lock();
                exchange_.answer = answer;
                exchange_.answered = true;
                exchange_.changed.notify_all();
            } else {
                next_poll = std::chrono::steady_clock::now() + signal_poll_interval;
                if (failure_) continue;
                hold.unlock();
                in_python([] {
                    if (PyErr_CheckSignals() != 0) throw PythonErrorSet{};
                    return false;
                });
                hold.lock();
            }
        }
    }

    void rethrow_failure() const {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    template <typename Body>
    bool in_python(Body&& body) {
        const std::uint64_t process = fork_generation();
        try {
            const bool answer = lock_.with_lock([&] {
                const bool stop = body();
                if (fork_generation() != process) fail_forked();
                return stop;
            });
            return answer;
        } catch (...) {
            if (fork_generation() != process) throw;
            failure_ = std::current_exception();
            exchange_.cancelled.store(true, std::memory_order_relaxed);
            return true;
        }
    }

    LockReleased& lock_;
    Exchange& exchange_;
    PyObject* const callback_;
    std::exception_ptr failure_;
};

RunOutcome run_beside_main_thread(const NativeRun& native, RunOptions& options, PyObject* callback) {
    // On the heap: a forked child must not destroy it (see below).
    auto owned = std::make_unique<Exchange>();
    Exchange& exchange = *owned;
    options.interrupted = [&] { return exchange.cancelled.load(std::memory_order_relaxed); };
    if (callback != nullptr) {
        options.progress = [&](std::uint64_t iterations, double value, double seconds) {
            return exchange.ask(iterations, value, seconds);
        };
    }
    RunOutcome outcome;
    std::exception_ptr failure;
    LockReleased lock;
    MainThreadSide side(lock, exchange, callback);
    std::thread solving([&] {
        try {
            outcome = native(options);
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard hold(exchange.mutex);
        exchange.done = true;
        exchange.changed.notify_all();
    });
    const std::uint64_t process = fork_generation();
    try {
        const bool served = side.serve();
        solving.join();
        if (!served) side.rethrow_failure();
    } catch (...) {
        // In a forked child the solving thread is the parent's, and cannot be
        // joined; anywhere else it is stopped first.
        if (fork_generation() != process) {
            solving.detach();
            // Its condition variable had the solving thread as a waiter,
            // which the child's copy would wait for forever when destroyed.
            static_cast<void>(owned.release());
        } else {
            exchange.cancelled.store(true, std::memory_order_relaxed);
            if (solving.joinable()) solving.join();
        }
        throw;
    }
    if (failure) std::rethrow_exception(failure);
    return outcome;
}

}  // namespace

RunOutcome run_without_lock(const NativeRun& native, RunOptions options, PyObject* callback) {
    if (on_main_thread()) return run_beside_main_thread(native, options, callback);
    return run_on_this_thread(native, options, callback);
}

}  // namespace allotra::binding
