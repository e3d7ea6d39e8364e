// The two solver classes: constructors that convert and store parameters, and
// solve(task), which runs a solver on the task with the interpreter lock held.
#include <utility>

#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/call_guard.hpp"
#include "binding/instance.hpp"
#include "binding/scalars.hpp"
#include "binding/types.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/probabilistic.hpp"

namespace allotra::binding {

namespace {

// A pending signal (Ctrl-C) cancels the batch in progress; its exception is
// left set for the interpreter to raise.
bool signal_pending() { return PyErr_CheckSignals() != 0; }

constexpr const char* solve_parameters[] = {"task"};

template <typename Parameters, typename Solve>
PyObject* solve_with(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Solve solve) {
    return guarded([&]() -> PyObject* {
        PyObject* given[1];
        match_arguments(Signature{function, solve_parameters, 1}, args, nargs, kwnames, given);
        SharedRead<Parameters> solver(self);
        PyTypeObject* task_class = require_type(task_type, "Task");
        if (!PyObject_TypeCheck(given[0], task_class)) throw_conversion_error("task", given[0], "Task");
        SharedRead<Task> task(given[0]);
        Solution best = solve(task.record(), solver.record(), InterruptPoll(signal_pending));
        return make_result(best.x, best.value);
    });
}

// --- ProbabilisticAssignmentSolver ---------------------------------------

constexpr const char* probabilistic_parameters[] = {"kmax"};

PyObject* probabilistic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* given[1];
        match_arguments(Signature{"ProbabilisticAssignmentSolver.__new__()", probabilistic_parameters, 0}, args,
                        kwargs, given);
        ProbabilisticParameters parameters;
        if (given[0] != nullptr) parameters.kmax = to_u64(given[0], "kmax");
        return new_instance(type, std::move(parameters));
    });
}

PyObject* probabilistic_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return solve_with<ProbabilisticParameters>("ProbabilisticAssignmentSolver.solve()", self, args, nargs, kwnames,
                                               [](const Task& task, const ProbabilisticParameters& parameters,
                                                  const InterruptPoll& interrupted) {
                                                   return solve_probabilistic(task, parameters, interrupted);
                                               });
}

void probabilistic_dealloc(PyObject* self) { delete_instance<ProbabilisticParameters>(self); }

PyMethodDef probabilistic_methods[] = {
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probabilistic_solve)),
     METH_FASTCALL | METH_KEYWORDS, "solve($self, task)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot probabilistic_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(probabilistic_dealloc)},
    {Py_tp_doc, const_cast<char*>("ProbabilisticAssignmentSolver(kmax=100)\n--\n\n")},
    {Py_tp_methods, probabilistic_methods},
    {Py_tp_new, reinterpret_cast<void*>(probabilistic_new)},
    {0, nullptr},
};

PyType_Spec probabilistic_spec = {"allotra.ProbabilisticAssignmentSolver",
                                  static_cast<int>(sizeof(Instance<ProbabilisticParameters>)), 0,
                                  Py_TPFLAGS_DEFAULT, probabilistic_slots};

// --- AntColonyAssignmentSolver -------------------------------------------

constexpr const char* ant_colony_parameters[] = {"num_ants", "kmax", "alpha", "beta", "rho", "initial_pheromone"};

PyObject* ant_colony_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* given[6];
        match_arguments(Signature{"AntColonyAssignmentSolver.__new__()", ant_colony_parameters, 0}, args, kwargs,
                        given);
        AntColonyParameters parameters;
        if (given[0] != nullptr) parameters.num_ants = to_u64(given[0], "num_ants");
        if (given[1] != nullptr) parameters.kmax = to_u64(given[1], "kmax");
        if (given[2] != nullptr) parameters.alpha = to_f64(given[2], "alpha");
        if (given[3] != nullptr) parameters.beta = to_f64(given[3], "beta");
        if (given[4] != nullptr) parameters.rho = to_f64(given[4], "rho");
        if (given[5] != nullptr) parameters.initial_pheromone = to_f64(given[5], "initial_pheromone");
        return new_instance(type, std::move(parameters));
    });
}

PyObject* ant_colony_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return solve_with<AntColonyParameters>("AntColonyAssignmentSolver.solve()", self, args, nargs, kwnames,
                                           [](const Task& task, const AntColonyParameters& parameters,
                                              const InterruptPoll& interrupted) {
                                               return solve_ant_colony(task, parameters, interrupted);
                                           });
}

void ant_colony_dealloc(PyObject* self) { delete_instance<AntColonyParameters>(self); }

PyMethodDef ant_colony_methods[] = {
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ant_colony_solve)),
     METH_FASTCALL | METH_KEYWORDS, "solve($self, task)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ant_colony_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ant_colony_dealloc)},
    {Py_tp_doc, const_cast<char*>("AntColonyAssignmentSolver(num_ants=20, kmax=100, alpha=1.0, beta=2.0, rho=0.1, "
                                  "initial_pheromone=1.0)\n--\n\n")},
    {Py_tp_methods, ant_colony_methods},
    {Py_tp_new, reinterpret_cast<void*>(ant_colony_new)},
    {0, nullptr},
};

PyType_Spec ant_colony_spec = {"allotra.AntColonyAssignmentSolver",
                               static_cast<int>(sizeof(Instance<AntColonyParameters>)), 0, Py_TPFLAGS_DEFAULT,
                               ant_colony_slots};

PyTypeObject* probabilistic_created = nullptr;
PyTypeObject* ant_colony_created = nullptr;

}  // namespace

PyTypeObject* probabilistic_solver_type() {
    if (probabilistic_created == nullptr) {
        probabilistic_created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&probabilistic_spec));
    }
    return probabilistic_created;
}

PyTypeObject* ant_colony_solver_type() {
    if (ant_colony_created == nullptr) {
        ant_colony_created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&ant_colony_spec));
    }
    return ant_colony_created;
}

}  // namespace allotra::binding
