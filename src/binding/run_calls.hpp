// A run with the interpreter lock given up, and its Python side: the
// callback, signal handlers on the main thread, and what a run does when the
// interpreter shuts down or its callback forks.
#pragma once

#include <functional>

#include "binding/python.hpp"
#include "solvers/run.hpp"

namespace allotra::binding {

using NativeRun = std::function<RunOutcome(const RunOptions&)>;

// Runs native(options) with the lock given up; `callback` may be null. Its
// own progress and interrupt poll are set here. Called holding the lock, and
// returns (or throws) holding it again.
RunOutcome run_without_lock(const NativeRun& native, RunOptions options, PyObject* callback);

}  // namespace allotra::binding
