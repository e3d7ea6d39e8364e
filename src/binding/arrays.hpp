// NumPy arrays in and out. Arrays cross the boundary by copying: a Task never
// keeps or writes the caller's array, and a result shares no memory with us.
#pragma once

#include "binding/python.hpp"
#include "kernel/matrix.hpp"

namespace allotra::binding {

// Copies a 2-dimensional int64 (or float64) array of native byte order into
// an owned matrix. A gap-free block keeps its strides; anything else becomes
// row-major. Anything else (another class, dimension count or element type,
// strides that are not whole elements, or a masked array with masked
// entries) raises the argument error.
IntMatrix copy_int_array(PyObject* object, const char* name);
FloatMatrix copy_float_array(PyObject* object, const char* name);

// The (array, value) pair that solve returns; a new reference.
PyObject* make_result(const IntMatrix& x, double value);

}  // namespace allotra::binding
