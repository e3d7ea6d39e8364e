"""run() among other threads: a run on the main thread goes on while another
thread holds the interpreter lock, and a fork inside a callback leaves the
child with a clear error where its run cannot go on."""

import ctypes
import sys
import threading
import time

import pytest

from support import Ant, deadlock_limit, needs_fork, run_python
from test_run import P

pytestmark = deadlock_limit

HOLD = 4.0  # seconds the neighbour keeps the lock: ten times the run's work


@pytest.mark.skipif(sys.platform == "win32", reason="holds the lock through the C library's sleep()")
def test_a_run_on_the_main_thread_goes_on_while_another_thread_holds_the_lock():
    """The neighbour's sleep() through a PyDLL keeps the lock; the run's work
    (about 0.1 s alone) must end inside that hold, not wait for it."""
    libc = ctypes.PyDLL(None)
    for _ in range(3):  # a neighbour that took the lock before the run began proves nothing
        hold = {}

        def neighbour():
            time.sleep(0.05)
            hold["from"] = time.monotonic()
            libc.sleep(int(HOLD))
            hold["to"] = time.monotonic()

        thread = threading.Thread(target=neighbour)
        thread.start()
        called = time.monotonic()
        result = Ant(num_ants=4, kmax=300).run(P.task, seed=1)
        thread.join()
        if hold["from"] > called:
            break
    else:
        pytest.skip("the neighbour always took the lock before the run began")
    assert result.stopped == "completed" and called + result.seconds < hold["to"], (called, result.seconds, hold)


# A callback forks once. The child's run ends with the error when the run has
# a batch in flight (probabilistic: enough constructions that the run passes
# 0.1 s, and a callback comes before the end, on the fastest build) or solves
# on a thread of its own (main thread); the colony off the main thread goes on
# in the child.
FORKING = """
import os, sys, threading, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import numpy as np, allotra
rng = np.random.default_rng(1)
task = allotra.Task(100, 100, rng.integers(1, 100, (100, 100)), rng.integers(1, 10, (100, 100)), 5000,
                    np.zeros((100, 100)))
solver = {solver}
parent, children = os.getpid(), []
def callback(*progress):
    children or children.append(os.fork())
def run():
    try:
        outcome = solver.run(task, seed=1, callback=callback).stopped
    except RuntimeError as error:
        outcome = "forked" if "cannot go on in a process forked during the run" in str(error) else repr(error)
    if os.getpid() != parent:
        print(outcome, flush=True)
        os._exit(0)
    os.waitpid(children[0], 0)
    print(outcome)
thread = threading.Thread(target=run)
run() if {on_main} else (thread.start(), thread.join())
"""


@needs_fork
@pytest.mark.parametrize(
    "solver, on_main, child",
    [
        ("allotra.ProbabilisticAssignmentSolver(kmax=30000)", True, "forked"),
        ("allotra.ProbabilisticAssignmentSolver(kmax=30000)", False, "forked"),
        ("allotra.AntColonyAssignmentSolver(num_ants=4, kmax=30)", True, "forked"),
        ("allotra.AntColonyAssignmentSolver(num_ants=4, kmax=30)", False, "completed"),
    ],
)
def test_a_fork_inside_a_callback(solver, on_main, child):
    done = run_python(FORKING.replace("{solver}", solver).replace("{on_main}", str(on_main)), timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [child, "completed"], (done.stdout, done.stderr)
    assert "internal error" not in done.stderr
