// Every entry point the interpreter calls runs inside guarded(): no C++
// exception ever crosses into the interpreter. The one unwind that does is
// not an exception of ours: the interpreter ending this thread at shutdown
// (see interpreter_lock.hpp), which must go on to the thread's end; so the
// guard is not noexcept, and passes on an unwind without an exception object.
#pragma once

#include <exception>
#include <new>

#include "binding/errors.hpp"
#include "binding/python.hpp"
#include "kernel/error.hpp"

namespace allotra::binding {

template <typename Body>
auto guarded(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        // The exception is already set.
    } catch (const Cancelled&) {
        // Cancelled on request of a pending signal handler's exception.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "solving was cancelled");
    } catch (const InternalError& error) {
        raise_panic(error.what(), error.where().file_name(), error.where().line());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what(), __FILE__, __LINE__);
    } catch (...) {
        if (!std::current_exception()) throw;
        raise_panic("unknown internal failure", __FILE__, __LINE__);
    }
    return {};
}

}  // namespace allotra::binding
