// The classes looked up where one is needed, created on first need.
#include "binding/types.hpp"

#include <string>

#include "binding/errors.hpp"

namespace allotra::binding {

PyTypeObject* require_type(PyTypeObject* (*get)(), const char* name) {
    PyTypeObject* type = get();
    if (type == nullptr) fail_after_printing_pending_error(std::string("failed to create type object for ") + name);
    return type;
}

}  // namespace allotra::binding
