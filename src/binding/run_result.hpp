// What run() takes and gives beside solve's task: the conversion of its
// options and the RunResult struct sequence.
#pragma once

#include "binding/python.hpp"
#include "kernel/random/seeds.hpp"
#include "model/task.hpp"
#include "solvers/run.hpp"

namespace allotra::binding {

// An int in [0, 2**128) (or anything with __index__); TypeError for anything
// else, OverflowError outside the range.
Seed to_seed(PyObject* object);

// Seconds >= 0 through the float conversion; ValueError for a negative or
// NaN limit.
double to_time_limit(PyObject* object);

// The class allotra.RunResult, created once per process; borrowed, or null
// with an exception set.
PyTypeObject* run_result_type();

// A new RunResult of a run on `task`.
PyObject* make_run_result(const RunOutcome& outcome, const Task& task, Seed seed);

}  // namespace allotra::binding
