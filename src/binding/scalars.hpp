// Conversion of Python numbers to the records' scalar fields. A failure
// raises the argument error that names the parameter.
#pragma once

#include <cstdint>

#include "binding/python.hpp"

namespace allotra::binding {

// An int (or subclass, bool included) directly, anything else through its
// __index__; negative or too large values raise OverflowError unchanged.
std::uint64_t to_u64(PyObject* object, const char* name);

// The interpreter's own conversion to a signed 64-bit integer.
std::int64_t to_i64(PyObject* object, const char* name);

// An exact float directly, anything else through the interpreter's float
// conversion (int, __float__, __index__).
double to_f64(PyObject* object, const char* name);

}  // namespace allotra::binding
