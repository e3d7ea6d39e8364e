// NumPy's C API, reached through the table that numpy_api.cpp loads on first
// need (never at import time).
#pragma once

#include "binding/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL allotra_ARRAY_API
#ifndef ALLOTRA_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against NumPy 2 headers, the module runs on every NumPy from 1.21 on:
// it uses only calls that all of them offer.
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#include <numpy/arrayobject.h>

namespace allotra::binding {

// Loads the API table from the "_ARRAY_API" capsule of NumPy's core
// multiarray module (numpy._core for NumPy 2 and later, numpy.core before).
// Throws InternalError "Failed to access NumPy array API capsule: ..." when
// NumPy cannot be imported or the capsule cannot be read.
void ensure_numpy_api();

}  // namespace allotra::binding
