// NumPy's C API table, loaded on first need from NumPy's own module.
#define ALLOTRA_OWNS_NUMPY_API
#include "binding/numpy.hpp"

#include <string>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "kernel/error.hpp"

namespace allotra::binding {

namespace {

[[noreturn]] void capsule_failure(const std::string& why) {
    fail("Failed to access NumPy array API capsule: " + why);
}

PyRef attribute(PyObject* object, const char* name) {
    PyRef value(PyObject_GetAttrString(object, name));
    if (!value) capsule_failure(take_pending_error().text());
    return value;
}

PyRef import(const char* name) {
    PyRef module(PyImport_ImportModule(name));
    if (!module) capsule_failure(take_pending_error().text());
    return module;
}

long numpy_major_version() {
    PyRef numpy = import("numpy");
    PyRef version = attribute(numpy.get(), "__version__");
    PyRef lib = import("numpy.lib");
    PyRef parser = attribute(lib.get(), "NumpyVersion");
    PyRef parsed(PyObject_CallOneArg(parser.get(), version.get()));
    if (!parsed) capsule_failure(take_pending_error().text());
    PyRef major = attribute(parsed.get(), "major");
    long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) capsule_failure(take_pending_error().text());
    return value;
}

}  // namespace

void ensure_numpy_api() {
    if (PyArray_API != nullptr) return;
    const char* module_name = numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    PyRef module = import(module_name);
    PyRef capsule = attribute(module.get(), "_ARRAY_API");
    if (!PyCapsule_CheckExact(capsule.get())) capsule_failure("_ARRAY_API is not a capsule");
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) capsule_failure(take_pending_error().text());
    PyArray_API = table;
    // The table's own version checks, as NumPy's import routine makes them.
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyArray_API = nullptr;
        capsule_failure("this NumPy has a newer ABI than the one allotra was built for");
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
        PyArray_API = nullptr;
        capsule_failure("this NumPy is older than the oldest one allotra supports");
    }
}

}  // namespace allotra::binding
