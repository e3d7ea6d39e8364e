// The three classes. Each is a heap type created once per process on first
// need and kept for the life of the process.
#pragma once

#include "binding/python.hpp"

namespace allotra::binding {

// Each returns a borrowed reference, or null with an exception set.
PyTypeObject* task_type();
PyTypeObject* ant_colony_solver_type();
PyTypeObject* probabilistic_solver_type();

// For argument checks outside module initialisation: a type that cannot be
// created is reported on standard error and becomes an internal error.
PyTypeObject* require_type(PyTypeObject* (*get)(), const char* name);

}  // namespace allotra::binding
