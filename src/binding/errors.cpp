// PanicException, a pending Python error carried as a C++ one, and the forms
// of the argument errors.
#include "binding/errors.hpp"

#include <cstdio>
#include <utility>

#include "binding/py_ref.hpp"
#include "kernel/error.hpp"

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
    std::fprintf(stderr, "allotra: internal error at %s:%u: %s\n", project_path(file), line, message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the error of creating the class stays set
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

PendingError take_pending_error() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {PyRef(type), PyRef(value), PyRef(traceback)};
}

std::string PendingError::text() const {
    if (!value) return "no details";
    PyRef text(PyObject_Str(value.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "unprintable error";
    }
    return utf8;
}

void PendingError::restore() && {
    PyErr_Restore(type.release(), value.release(), traceback.release());
}

void fail_after_printing_pending_error(const std::string& message) {
    PyErr_Print();
    fail(message);
}

void rethrow_as_argument_error(const char* name) {
    PendingError pending = take_pending_error();
    if (pending.type.get() != PyExc_TypeError) {
        std::move(pending).restore();
        throw PythonErrorSet{};
    }
    PyObject* value = pending.value.get();
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

namespace {

PyRef type_qualname(PyObject* object) {
    return PyRef(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__")));
}

}  // namespace

void throw_conversion_error(const char* name, PyObject* object, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", type_qualname(object).get(), target);
    rethrow_as_argument_error(name);
}

void throw_masked_array_error(const char* name, PyObject* object, const char* target) {
    PyErr_Format(PyExc_TypeError,
                 "'%S' object with masked entries cannot be converted to '%s'; fill them first, e.g. with "
                 "%s.filled(value)",
                 type_qualname(object).get(), target, name);
    rethrow_as_argument_error(name);
}

}  // namespace allotra::binding
