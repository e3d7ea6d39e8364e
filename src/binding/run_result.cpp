// run()'s options converted, and its outcome made into a RunResult.
#include "binding/run_result.hpp"

#include <cmath>

#include "binding/errors.hpp"
#include "binding/numpy.hpp"
#include "binding/py_ref.hpp"
#include "binding/scalars.hpp"
#include "binding/arrays.hpp"

namespace allotra::binding {

namespace {

PyStructSequence_Field result_fields[] = {
    {"x", "the best selection: a new int64 0/1 array of shape (m, n)"},
    {"value", "its value"},
    {"seed", "the seed of the run, which repeats it"},
    {"stopped", "'completed', 'time_limit' or 'callback'"},
    {"iterations", "colony iterations, or probabilistic constructions, completed"},
    {"seconds", "seconds from the call to the end of the run"},
    {"history", "float64 array of (iteration, value) rows: each rise of the best value and the iteration "
                "(colony) or construction that brought it"},
    // By name only, after the fields of the tuple: code that unpacks those keeps working.
    {"bound", "the optimum of the task's continuous relaxation (every cell taken in any fraction from 0 to 1, "
              "the budget kept): no selection of finite value is worth more, so 1 - value / bound bounds the "
              "gap to the optimum"},
    {nullptr, nullptr},
};

PyStructSequence_Desc result_description = {
    "allotra.RunResult",
    "The result of run(): the best selection and its value (x, value = result[:2]), the seed, why the run "
    "stopped, the iterations done, the seconds taken and each rise of the best value; by name only, the "
    "bound, above the value of every selection.",
    result_fields,
    7,  // the fields of the tuple; `bound` follows by name only
};

PyTypeObject* created = nullptr;  // lives for the rest of the process

[[noreturn]] void out_of_range(const char* what) {
    PyErr_Format(PyExc_OverflowError, "argument 'seed': the seed must be an integer in [0, 2**128), got %s", what);
    throw PythonErrorSet{};
}

PyRef seed_object(Seed seed) {
    PyRef high(check(PyLong_FromUnsignedLongLong(seed.high)));
    PyRef bits(check(PyLong_FromLong(64)));
    PyRef shifted(check(PyNumber_Lshift(high.get(), bits.get())));
    PyRef low(check(PyLong_FromUnsignedLongLong(seed.low)));
    return PyRef(check(PyNumber_Or(shifted.get(), low.get())));
}

const char* stopped_text(Stopped stopped) {
    switch (stopped) {
        case Stopped::time_limit: return "time_limit";
        case Stopped::callback: return "callback";
        case Stopped::completed: break;
    }
    return "completed";
}

// One row (iteration, value) per improvement, as float64: iterations are
// whole numbers, exact up to 2**53.
PyRef history_array(const std::vector<Improvement>& history) {
    ensure_numpy_api();
    npy_intp shape[2] = {static_cast<npy_intp>(history.size()), 2};
    PyRef array(check(PyArray_SimpleNew(2, shape, NPY_FLOAT64)));
    auto* rows = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (const Improvement& improvement : history) {
        *rows++ = static_cast<double>(improvement.iteration);
        *rows++ = improvement.value;
    }
    return array;
}

// True and False pass the conversions as 1 and 0, but are almost always a
// mistake for a seed or a limit.
void refuse_bool(PyObject* object, const char* name, const char* wanted) {
    if (!PyBool_Check(object)) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': a bool is not %s", name, wanted);
    throw PythonErrorSet{};
}

}  // namespace

Seed to_seed(PyObject* object) {
    refuse_bool(object, "seed", "a seed (an int in [0, 2**128))");
    PyRef number(PyNumber_Index(object));
    if (!number) rethrow_as_argument_error("seed");
    const int negative = PyObject_RichCompareBool(number.get(), PyRef(check(PyLong_FromLong(0))).get(), Py_LT);
    if (negative < 0) throw PythonErrorSet{};
    if (negative == 1) out_of_range("a negative number");
    Seed seed;
    seed.low = PyLong_AsUnsignedLongLongMask(number.get());
    PyRef bits(check(PyLong_FromLong(64)));
    PyRef high(check(PyNumber_Rshift(number.get(), bits.get())));
    seed.high = PyLong_AsUnsignedLongLong(high.get());
    if (seed.high == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        out_of_range("a larger number");
    }
    return seed;
}

double to_time_limit(PyObject* object) {
    refuse_bool(object, "time_limit", "a number of seconds");
    const double seconds = PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_Occurred()) {
        // An int too large for a float names the argument too.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) rethrow_as_argument_error("time_limit");
        const PendingError overflow = take_pending_error();
        PyErr_Format(PyExc_OverflowError, "argument 'time_limit': %S", overflow.value.get());
        throw PythonErrorSet{};
    }
    if (std::isnan(seconds) || seconds < 0.0) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'time_limit': the time limit must be a number of seconds >= 0 (or None for none), "
                     "got %R",
                     object);
        throw PythonErrorSet{};
    }
    return seconds;
}

PyTypeObject* run_result_type() {
    if (created == nullptr) created = PyStructSequence_NewType(&result_description);
    return created;
}

PyObject* make_run_result(const RunOutcome& outcome, const Task& task, Seed seed) {
    PyTypeObject* type = check(run_result_type());
    PyRef items[] = {
        selection_array(outcome.best, task.m, task.n),
        PyRef(check(PyFloat_FromDouble(outcome.best.value))),
        seed_object(seed),
        PyRef(check(PyUnicode_FromString(stopped_text(outcome.stopped)))),
        PyRef(check(PyLong_FromUnsignedLongLong(outcome.iterations))),
        PyRef(check(PyFloat_FromDouble(outcome.seconds))),
        history_array(outcome.history),
        PyRef(check(PyFloat_FromDouble(outcome.bound))),
    };
    PyRef result(check(PyStructSequence_New(type)));
    for (Py_ssize_t k = 0; k < static_cast<Py_ssize_t>(std::size(items)); ++k) {
        PyStructSequence_SetItem(result.get(), k, items[k].release());
    }
    return result.release();
}

}  // namespace allotra::binding
