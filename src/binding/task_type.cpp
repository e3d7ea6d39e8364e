// The Task class: its constructor, validate() and the type.
#include <optional>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/call_guard.hpp"
#include "binding/instance.hpp"
#include "binding/scalars.hpp"
#include "binding/types.hpp"
#include "model/task.hpp"

namespace allotra::binding {

namespace {

constexpr const char* parameters[] = {"m", "n", "c", "b_ij", "b_total", "omega"};
constexpr Signature signature{"Task.__new__()", parameters, 6};

PyObject* task_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* given[6];
        match_arguments(signature, args, kwargs, given);
        Task task;
        task.m = to_u64(given[0], "m");
        task.n = to_u64(given[1], "n");
        task.c = copy_int_array(given[2], "c");
        task.b_ij = copy_int_array(given[3], "b_ij");
        task.b_total = to_i64(given[4], "b_total");
        task.omega = copy_float_array(given[5], "omega");
        if (std::optional<TaskDefect> defect = check_task(task)) {
            PyErr_SetString(PyExc_ValueError, defect_message(*defect));
            throw PythonErrorSet{};
        }
        return new_instance(type, std::move(task));
    });
}

PyObject* task_validate(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SharedRead<Task> read(self);
        if (std::optional<TaskDefect> defect = check_task(read.record())) {
            PyErr_SetString(PyExc_ValueError, defect_message(*defect));
            throw PythonErrorSet{};
        }
        Py_RETURN_TRUE;
    });
}

void task_dealloc(PyObject* self) { delete_instance<Task>(self); }

PyMethodDef methods[] = {
    {"validate", task_validate, METH_NOARGS, "validate($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(task_dealloc)},
    {Py_tp_doc, const_cast<char*>("Task(m, n, c, b_ij, b_total, omega)\n--\n\n")},
    {Py_tp_methods, methods},
    {Py_tp_new, reinterpret_cast<void*>(task_new)},
    {0, nullptr},
};

PyType_Spec type_spec = {"allotra.Task", static_cast<int>(sizeof(Instance<Task>)), 0, Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* created = nullptr;

}  // namespace

PyTypeObject* task_type() {
    if (created == nullptr) created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return created;
}

}  // namespace allotra::binding
