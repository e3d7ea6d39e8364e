// Matches a call's positional and keyword arguments against a parameter list
// (positional-or-keyword, then keyword-only), with the interpreter's own
// message forms.
#pragma once

#include <cstddef>
#include <span>

#include "binding/python.hpp"

namespace allotra::binding {

struct Signature {
    const char* function;  // e.g. "Task.__new__()"
    std::span<const char* const> parameters;
    std::size_t required;  // the first `required` parameters have no default
    // How many may be given by position; the rest are keyword-only.
    std::size_t positional = static_cast<std::size_t>(-1);
    // "takes 1 positional argument" rather than the plural that the
    // constructors and solve keep for any count.
    bool singular_for_one = false;
};

// `out` receives one borrowed reference per parameter, or null when it was
// left out. On a mismatch, raises TypeError and throws PythonErrorSet.

// For constructors: a tuple of positional arguments and a dict (or null).
void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// For vectorcall methods: an argument array and a tuple of keyword names.
void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out);

}  // namespace allotra::binding
