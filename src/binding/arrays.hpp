// NumPy arrays in and out. Arrays cross the boundary by copying: a Task never
// keeps or writes the caller's array, and a result shares no memory with us.
#pragma once

#include "binding/py_ref.hpp"
#include "binding/python.hpp"
#include "kernel/selection.hpp"
#include "kernel/matrix.hpp"

namespace allotra::binding {

// Copies a 2-dimensional int64 (or float64) array of native byte order into
// an owned matrix. A gap-free block keeps its strides; anything else becomes
// row-major. Anything else (another class, dimension count or element type,
// strides that are not whole elements, or a masked array with masked
// entries) raises the argument error.
IntMatrix copy_int_array(PyObject* object, const char* name);
FloatMatrix copy_float_array(PyObject* object, const char* name);

// The m x n int64 array of a selection's cells (1 where taken, else 0),
// written by the workers.
PyRef selection_array(const Selection& selection, std::uint64_t m, std::uint64_t n);

// The (array, value) pair that solve returns; a new reference.
PyObject* make_result(const Selection& best, std::uint64_t m, std::uint64_t n);

}  // namespace allotra::binding
