// The two solver classes: constructors that convert and store parameters;
// solve(task), which runs a solver on the task with the interpreter lock held;
// and run(task, *, seed, time_limit, callback), which gives the lock up while
// the workers construct.
// Both are made by one template from a table per class (its name, its
// parameters in signature order, its solver loop), so the argument names, the
// text signature and the defaults cannot drift apart.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/call_guard.hpp"
#include "binding/instance.hpp"
#include "binding/py_ref.hpp"
#include "binding/run_calls.hpp"
#include "binding/run_result.hpp"
#include "binding/scalars.hpp"
#include "binding/types.hpp"
#include "solvers/ant_colony.hpp"
#include "solvers/probabilistic.hpp"
#include "solvers/run.hpp"

namespace allotra::binding {

namespace {

// A pending signal (Ctrl-C) cancels the batch in progress; its exception is
// left set for the interpreter to raise.
bool signal_pending() { return PyErr_CheckSignals() != 0; }

// Python's repr of a float: the shortest text that reads back as the same
// value, with ".0" on whole numbers.
std::string float_text(double value) {
    char text[32] = "";
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    std::string shown = text;
    if (shown.find_first_of(".eni") == std::string::npos) shown += ".0";
    return shown;
}

// One constructor parameter: its name and the record field it fills, whose
// default in the record is the one the signature shows.
template <typename Parameters>
struct Field {
    const char* name;
    std::uint64_t Parameters::*integer = nullptr;
    double Parameters::*real = nullptr;

    constexpr Field(const char* field_name, std::uint64_t Parameters::*field) : name(field_name), integer(field) {}
    constexpr Field(const char* field_name, double Parameters::*field) : name(field_name), real(field) {}

    void convert(PyObject* given, Parameters& parameters) const {
        if (integer != nullptr) {
            parameters.*integer = to_u64(given, name);
        } else {
            parameters.*real = to_f64(given, name);
        }
    }

    std::string shown_default() const {
        const Parameters defaults{};
        return integer != nullptr ? std::to_string(defaults.*integer) : float_text(defaults.*real);
    }
};

// --- the table ------------------------------------------------------------

struct ProbabilisticSolver {
    using Parameters = ProbabilisticParameters;
    static constexpr const char* name = "ProbabilisticAssignmentSolver";
    static constexpr Field<Parameters> fields[] = {{"kmax", &Parameters::kmax}};
    static constexpr auto solve = &best_probabilistic;
    static constexpr auto run = &run_probabilistic;
};

struct AntColonySolver {
    using Parameters = AntColonyParameters;
    static constexpr const char* name = "AntColonyAssignmentSolver";
    static constexpr Field<Parameters> fields[] = {
        {"num_ants", &Parameters::num_ants}, {"kmax", &Parameters::kmax}, {"alpha", &Parameters::alpha},
        {"beta", &Parameters::beta},         {"rho", &Parameters::rho},   {"initial_pheromone", &Parameters::initial_pheromone},
    };
    static constexpr auto solve = &best_ant_colony;
    static constexpr auto run = &run_ant_colony;
};

// --- one class from its table entry ---------------------------------------

constexpr const char* solve_parameters[] = {"task"};
constexpr const char* run_parameters[] = {"task", "seed", "time_limit", "callback"};

template <typename Solver>
class SolverClass {
public:
    static PyTypeObject* type() {
        if (created_ == nullptr) created_ = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec()));
        return created_;
    }

private:
    using Parameters = typename Solver::Parameters;
    static constexpr std::size_t count = std::size(Solver::fields);

    // Kept for the life of the process: the type and the messages point into them.
    struct Names {
        std::string constructor;  // "Solver.__new__()", as argument errors name it
        std::string solve;
        std::string run;
        std::string type;  // "allotra.Solver"
    };
    static const Names& names() {
        static const Names all{std::string(Solver::name) + ".__new__()", std::string(Solver::name) + ".solve()",
                               std::string(Solver::name) + ".run()", std::string("allotra.") + Solver::name};
        return all;
    }

    static const std::array<const char*, count>& parameter_names() {
        static const std::array<const char*, count> names = [] {
            std::array<const char*, count> all{};
            for (std::size_t k = 0; k < count; ++k) all[k] = Solver::fields[k].name;
            return all;
        }();
        return names;
    }

    // The class name and its text signature, e.g. "Solver(kmax=100)", then
    // "--" and an empty line, which the interpreter reads as the signature.
    static const std::string& doc() {
        static const std::string text = [] {
            std::string signature = std::string(Solver::name) + "(";
            for (std::size_t k = 0; k < count; ++k) {
                if (k > 0) signature += ", ";
                signature += std::string(Solver::fields[k].name) + "=" + Solver::fields[k].shown_default();
            }
            return signature + ")\n--\n\n";
        }();
        return text;
    }

    static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            std::array<PyObject*, count> given{};
            match_arguments(Signature{names().constructor.c_str(), parameter_names(), 0}, args, kwargs, given);
            Parameters parameters;
            for (std::size_t k = 0; k < count; ++k) {
                if (given[k] != nullptr) Solver::fields[k].convert(given[k], parameters);
            }
            return new_instance(type, std::move(parameters));
        });
    }

    static PyObject* solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded([&]() -> PyObject* {
            PyObject* given[1];
            match_arguments(Signature{names().solve.c_str(), solve_parameters, 1}, args, nargs, kwnames, given);
            SharedRead<Parameters> solver(self);
            PyTypeObject* task_class = require_type(task_type, "Task");
            if (!PyObject_TypeCheck(given[0], task_class)) throw_conversion_error("task", given[0], "Task");
            SharedRead<Task> task(given[0]);
            const Selection best = Solver::solve(task.record(), solver.record(), InterruptPoll(signal_pending));
            return make_result(best, task.record().m, task.record().n);
        });
    }

    static PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded([&]() -> PyObject* {
            RunOptions options;  // the clock starts at the call
            PyObject* given[std::size(run_parameters)];
            match_arguments(Signature{names().run.c_str(), run_parameters, 1, 1, true}, args, nargs, kwnames, given);
            PyTypeObject* task_class = require_type(task_type, "Task");
            if (!PyObject_TypeCheck(given[0], task_class)) throw_conversion_error("task", given[0], "Task");
            const auto is_given = [&](std::size_t k) { return given[k] != nullptr && given[k] != Py_None; };
            options.seed = is_given(1) ? to_seed(given[1]) : seed_from_os();
            if (is_given(2)) options.deadline = Deadline::after(to_time_limit(given[2]), options.started);
            if (is_given(3) && !PyCallable_Check(given[3])) {
                PyErr_Format(PyExc_TypeError, "argument 'callback': '%s' object is not callable",
                             Py_TYPE(given[3])->tp_name);
                throw PythonErrorSet{};
            }
            // Owned while the lock is given up: none of them can go away, and
            // the task and solver never change.
            const PyRef callback = PyRef::borrow(is_given(3) ? given[3] : nullptr);
            const PyRef solver_object = PyRef::borrow(self);
            const PyRef task_object = PyRef::borrow(given[0]);
            SharedRead<Parameters> solver(self);
            SharedRead<Task> task(given[0]);
            const RunOutcome outcome = run_without_lock(
                [&](const RunOptions& chosen) { return Solver::run(task.record(), solver.record(), chosen); }, options,
                callback.get());
            return make_run_result(outcome, task.record(), options.seed);
        });
    }

    static void dealloc(PyObject* self) { delete_instance<Parameters>(self); }

    static PyType_Spec& spec() {
        static PyMethodDef methods[] = {
            {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve)), METH_FASTCALL | METH_KEYWORDS,
             "solve($self, task)\n--\n\n"},
            {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL | METH_KEYWORDS,
             "run($self, task, *, seed=None, time_limit=None, callback=None)\n--\n\n"
             "Like solve(task), with a seed that repeats the run, a time limit in seconds that keeps the best so "
             "far, and callback(iteration, value, seconds), whose true return stops the run. Returns a RunResult; "
             "the interpreter lock is given up while the workers construct."},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {Py_tp_doc, const_cast<char*>(doc().c_str())},
            {Py_tp_methods, methods},
            {Py_tp_new, reinterpret_cast<void*>(construct)},
            {0, nullptr},
        };
        static PyType_Spec spec = {names().type.c_str(), static_cast<int>(sizeof(Instance<Parameters>)), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        return spec;
    }

    static inline PyTypeObject* created_ = nullptr;  // lives for the rest of the process
};

}  // namespace

PyTypeObject* probabilistic_solver_type() { return SolverClass<ProbabilisticSolver>::type(); }

PyTypeObject* ant_colony_solver_type() { return SolverClass<AntColonySolver>::type(); }

}  // namespace allotra::binding
