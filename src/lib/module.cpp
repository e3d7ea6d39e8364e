// Module initialisation: one module object per process, bound to the main
// interpreter, holding the three classes, __all__ and __version__.
#include <atomic>
#include <cstdint>

#include "binding/call_guard.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "binding/run_result.hpp"
#include "binding/types.hpp"

namespace allotra::binding {

namespace {

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;  // kept for the life of the process

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "allotra",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add_class(PyObject* module, PyTypeObject* (*get)(), const char* name) {
    PyObject* type = reinterpret_cast<PyObject*>(check(get()));
    PyObject* names = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    if (names == nullptr) {
        PyRef created(check(PyList_New(0)));
        if (PyModule_AddObject(module, "__all__", created.get()) < 0) throw PythonErrorSet{};
        names = created.release();
    }
    PyRef text(check(PyUnicode_FromString(name)));
    if (!PyList_Check(names) || PyList_Append(names, text.get()) < 0) {
        PyErr_Clear();
        fail("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, type) < 0) throw PythonErrorSet{};
}

PyObject* initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) throw PythonErrorSet{};
    // Only the main interpreter may own the module: some interpreters run an
    // extension's initialisation before refusing it in a sub-interpreter, and
    // recording such an interpreter would lock the main one out.
    std::int64_t expected = -1;
    if (interpreter != PyInterpreterState_Main() ||
        (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id)) {
        PyErr_SetString(PyExc_ImportError,
                        "allotra does not support sub-interpreters: it can be imported only in the interpreter "
                        "that imported it first");
        throw PythonErrorSet{};
    }
    if (module_object != nullptr) {
        Py_INCREF(module_object);
        return module_object;
    }
    PyRef module(check(PyModule_Create2(&module_definition, PYTHON_API_VERSION)));
    add_class(module.get(), task_type, "Task");
    add_class(module.get(), ant_colony_solver_type, "AntColonyAssignmentSolver");
    add_class(module.get(), probabilistic_solver_type, "ProbabilisticAssignmentSolver");
    if (PyModule_AddStringConstant(module.get(), "__version__", ALLOTRA_VERSION) < 0) throw PythonErrorSet{};
    // What run() returns: an attribute, but not among the names of __all__.
    if (PyObject_SetAttrString(module.get(), "RunResult", reinterpret_cast<PyObject*>(check(run_result_type()))) < 0) {
        throw PythonErrorSet{};
    }
    module_object = module.release();
    Py_INCREF(module_object);
    return module_object;
}

}  // namespace

}  // namespace allotra::binding

PyMODINIT_FUNC PyInit_allotra() {
    return allotra::binding::guarded(allotra::binding::initialise);
}
