#include "binding/run_result.hpp"

#include <cmath>
#include <cstring>

#include "binding/errors.hpp"
#include "binding/numpy.hpp"
#include "binding/py_ref.hpp"
#include "binding/scalars.hpp"

namespace allotra::binding {

namespace {

PyStructSequence_Field result_fields[] = {
    {"x", "the best selection: a new int64 0/1 array of shape (m, n)"},
    {"value", "its value"},
    {"seed", "the seed of the run, which repeats it"},
    {"stopped", "'completed', 'time_limit' or 'callback'"},
    {"iterations", "colony iterations, or probabilistic constructions, completed"},
    {"seconds", "seconds from the call to the end of the run"},
    {"history", "float64 array: the best value after each iteration (colony) or construction"},
    {nullptr, nullptr},
};

PyStructSequence_Desc result_description = {
    "allotra.RunResult",
    "The result of run(): the best selection and its value (x, value = result[:2]), the seed, why the run "
    "stopped, the iterations done, the seconds taken and the best value after each iteration.",
    result_fields,
    7,
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

// The m x n selection: an array of zeros from the allocator's zeroed pages,
// then its ones, so that a large grid costs what was chosen, not a pass.
PyRef selection_array(const CellList& cells, std::uint64_t m, std::uint64_t n) {
    ensure_numpy_api();
    npy_intp shape[2] = {static_cast<npy_intp>(m), static_cast<npy_intp>(n)};
    PyRef array(check(PyArray_ZEROS(2, shape, NPY_INT64, 0)));
    auto* x = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::uint64_t cell : cells) x[cell] = 1;
    return array;
}

PyRef float_array(const std::vector<double>& values) {
    ensure_numpy_api();
    npy_intp length = static_cast<npy_intp>(values.size());
    PyRef array(check(PyArray_SimpleNew(1, &length, NPY_FLOAT64)));
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                    values.size() * sizeof(double));
    }
    return array;
}

}  // namespace

Seed to_seed(PyObject* object) {
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
    const double seconds = to_f64(object, "time_limit");
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
        selection_array(outcome.best.cells, task.m, task.n),
        PyRef(check(PyFloat_FromDouble(outcome.best.value))),
        seed_object(seed),
        PyRef(check(PyUnicode_FromString(stopped_text(outcome.stopped)))),
        PyRef(check(PyLong_FromUnsignedLongLong(outcome.iterations))),
        PyRef(check(PyFloat_FromDouble(outcome.seconds))),
        float_array(outcome.history),
    };
    PyRef result(check(PyStructSequence_New(type)));
    for (Py_ssize_t k = 0; k < static_cast<Py_ssize_t>(std::size(items)); ++k) {
        PyStructSequence_SetItem(result.get(), k, items[k].release());
    }
    return result.release();
}

}  // namespace allotra::binding
