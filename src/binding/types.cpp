#include "binding/types.hpp"

#include <string>

#include "kernel/error.hpp"

namespace allotra::binding {

PyTypeObject* require_type(PyTypeObject* (*get)(), const char* name) {
    PyTypeObject* type = get();
    if (type == nullptr) {
        PyErr_Print();
        fail(std::string("failed to create type object for ") + name);
    }
    return type;
}

}  // namespace allotra::binding
