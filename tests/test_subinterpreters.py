"""Sub-interpreters: the module belongs to the interpreter that imported it
first; an import from any other interpreter is refused with ImportError,
and the first interpreter goes on solving. Every scenario runs in a fresh
process, so that a crash cannot take the test session with it.

The low-level module for sub-interpreters is _xxsubinterpreters up to
Python 3.12 and _interpreters from 3.13 on; a Python without either skips.
The code run inside a sub-interpreter reports through a pipe, which works
whatever that module does with exceptions raised there.
"""

import pytest

from support import deadlock_limit, run_python

pytestmark = deadlock_limit

HARNESS = """
import os, sys
try:
    import _interpreters as api
except ImportError:
    try:
        import _xxsubinterpreters as api
    except ImportError:
        raise SystemExit(77)
run = getattr(api, "exec", None) or api.run_string
read_end, write_end = os.pipe()

def in_subinterpreter(interpreter):
    code = (
        "import os\\n"
        "try:\\n"
        "    import allotra\\n"
        "except ImportError as error:\\n"
        "    os.write(%d, b'refused:' + str(error).encode())\\n"
        "except BaseException as error:\\n"
        "    os.write(%d, b'other:' + type(error).__name__.encode())\\n"
        "else:\\n"
        "    os.write(%d, b'imported')\\n"
    ) % (write_end, write_end, write_end)
    run(interpreter, code)
    return os.read(read_end, 4096).decode()

def solve_here():
    import numpy as np
    import allotra
    task = allotra.Task(2, 2, np.ones((2, 2), np.int64), np.ones((2, 2), np.int64), 2, np.zeros((2, 2)))
    x, value = allotra.ProbabilisticAssignmentSolver(kmax=10).solve(task)
    assert value == 2.0 and x.sum() == 2
    x, value = allotra.AntColonyAssignmentSolver(num_ants=3, kmax=2).solve(task)
    assert value == 2.0 and x.sum() == 2
"""


def run_scenario(body):
    done = run_python(HARNESS + body, timeout=120)
    if done.returncode == 77:
        pytest.skip("this Python has no sub-interpreter module")
    assert done.returncode == 0, done.stdout + done.stderr[-3000:]
    return done.stdout.split("\n")


def test_import_from_a_second_interpreter_is_refused():
    lines = run_scenario(
        """
solve_here()  # the main interpreter imports and solves first
first = api.create()
print(in_subinterpreter(first))
print(in_subinterpreter(first))  # refused again, not half-imported
api.destroy(first)
second = api.create()
print(in_subinterpreter(second))
api.destroy(second)
solve_here()  # the main interpreter is unaffected
import sys
del sys.modules["allotra"]
solve_here()  # and re-imports its own module
print("done")
"""
    )
    refusals = lines[:3]
    for line in refusals:
        assert line.startswith("refused:"), lines
    assert lines[3] == "done"


def test_only_one_interpreter_ever_gets_the_module():
    """Whichever interpreter imports first owns the module (or, where the
    interpreter itself refuses single-phase modules in sub-interpreters,
    the main interpreter does); never both."""
    lines = run_scenario(
        """
other = api.create()
print(in_subinterpreter(other))
try:
    import allotra
except ImportError:
    print("main refused")
else:
    solve_here()
    print("main imported")
print(in_subinterpreter(other))
api.destroy(other)
print("done")
"""
    )
    sub_first, main, sub_again, end = lines[:4]
    assert end == "done"
    assert (sub_first, main) in (("imported", "main refused"), (sub_first, "main imported"))
    if main == "main imported":
        assert sub_first.startswith("refused:") and sub_again.startswith("refused:"), lines
    else:
        assert sub_again == "imported", lines
