// Python numbers converted to the records' scalar fields.
#include "binding/scalars.hpp"

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

namespace allotra::binding {

std::uint64_t to_u64(PyObject* object, const char* name) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = PyRef(PyNumber_Index(object));
        if (!index) rethrow_as_argument_error(name);
        object = index.get();
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_as_argument_error(name);
    return value;
}

std::int64_t to_i64(PyObject* object, const char* name) {
    long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) rethrow_as_argument_error(name);
    return value;
}

double to_f64(PyObject* object, const char* name) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) rethrow_as_argument_error(name);
    return value;
}

}  // namespace allotra::binding
