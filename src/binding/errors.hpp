// The forms in which failures reach Python.
#pragma once

#include <string>

#include "binding/py_ref.hpp"
#include "binding/python.hpp"

namespace allotra::binding {

// Thrown once a Python exception has been set; the call guard returns null.
struct PythonErrorSet {};

// Throws PythonErrorSet if `result` is null (the interpreter set an error).
template <typename T>
T* check(T* result) {
    if (result == nullptr) throw PythonErrorSet{};
    return result;
}

// The exception class for failed internal checks, created once per process.
// It derives from BaseException directly so that `except Exception` does not
// swallow it. Returns a borrowed reference, or null with an error set.
PyObject* panic_exception_type();

// Reports the failure on standard error (with the file named from the
// project's src directory on) and raises PanicException(message).
void raise_panic(const std::string& message, const char* file, unsigned line);

// The interpreter's pending exception, taken out of it (normalised) and
// owned; all three are null when nothing was pending.
struct PendingError {
    PyRef type;
    PyRef value;
    PyRef traceback;

    // str() of the exception, or a stand-in when there is none or it fails.
    std::string text() const;
    // Hands the exception back to the interpreter as the pending one.
    void restore() &&;
};
PendingError take_pending_error();

// For failures the caller cannot explain better than the interpreter did:
// prints the pending exception to standard error, then fails the internal
// check with `message`.
[[noreturn]] void fail_after_printing_pending_error(const std::string& message);

// Rewrites a pending exception whose type is exactly TypeError into
// "argument '<name>': <message>", keeping only the original's cause; any
// other pending exception passes unchanged. Always throws PythonErrorSet.
[[noreturn]] void rethrow_as_argument_error(const char* name);

// Raises the argument error for an object that is not of the required class:
// "'<type qualname>' object cannot be converted to '<target>'".
[[noreturn]] void throw_conversion_error(const char* name, PyObject* object, const char* target);

// Raises the argument error for a masked array with masked entries, whose
// values there are undefined: "'<type qualname>' object with masked entries
// cannot be converted to '<target>'; fill them first, ...".
[[noreturn]] void throw_masked_array_error(const char* name, PyObject* object, const char* target);

}  // namespace allotra::binding
