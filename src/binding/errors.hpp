// The forms in which failures reach Python.
#pragma once

#include <string>

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

// Reports the failure on standard error and raises PanicException(message).
void raise_panic(const std::string& message, const char* file, unsigned line);

// Rewrites a pending exception whose type is exactly TypeError into
// "argument '<name>': <message>", keeping only the original's cause; any
// other pending exception passes unchanged. Always throws PythonErrorSet.
[[noreturn]] void rethrow_as_argument_error(const char* name);

// Raises the argument error for an object that is not of the required class:
// "'<type qualname>' object cannot be converted to '<target>'".
[[noreturn]] void throw_conversion_error(const char* name, PyObject* object, const char* target);

}  // namespace allotra::binding
