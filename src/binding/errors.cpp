#include "binding/errors.hpp"

#include <cstdio>

#include "binding/py_ref.hpp"

namespace allotra::binding {

namespace {

constexpr const char* panic_doc =
    "The exception raised when the native code called from Python fails an internal check.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates all the way up instead of being caught by `except Exception`.";

PyObject* panic_type = nullptr;  // lives for the rest of the process

}  // namespace

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("allotra.PanicException", panic_doc, PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void raise_panic(const std::string& message, const char* file, unsigned line) {
    std::fprintf(stderr, "allotra: internal error at %s:%u: %s\n", file, line, message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the error of creating the class stays set
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void rethrow_as_argument_error(const char* name) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        throw PythonErrorSet{};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
    PyRef text(PyObject_Str(value));
    if (!text) throw PythonErrorSet{};
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) throw PythonErrorSet{};
    PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) throw PythonErrorSet{};
    // Only the original's cause is kept; the original itself is not attached.
    PyException_SetCause(replacement.get(), PyException_GetCause(value));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw PythonErrorSet{};
}

void throw_conversion_error(const char* name, PyObject* object, const char* target) {
    PyRef qualname(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__")));
    PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", qualname.get(), target);
    rethrow_as_argument_error(name);
}

}  // namespace allotra::binding
