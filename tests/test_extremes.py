"""Extreme parameters and shapes: batches too large to address fail at once
with PanicException "capacity overflow" instead of running or hanging;
grids with a huge number of rows and no columns (or the reverse) solve at
once; extreme integer values keep the budget exact.

The calls that could hang run in a fresh interpreter with a timeout, so a
hang fails the test instead of stopping the session. (A huge kmax for the ant
colony simply runs, and Ctrl-C stops it: test_interrupt.py.)
"""

import json

import numpy as np
import pytest

from support import (
    INT64_MAX,
    INT64_MIN,
    UINT64_MAX,
    Ant,
    Prob,
    check_result,
    colony_weights_stay_finite,
    density,
    problem,
    run_python,
)

PROMPT = 60  # seconds a fresh interpreter gets for something that takes milliseconds

PROLOGUE = """
import json, time
import numpy as np
import allotra
Prob = allotra.ProbabilisticAssignmentSolver
Ant = allotra.AntColonyAssignmentSolver
def outcome(call):
    started = time.monotonic()
    try:
        result = call()
    except BaseException as error:
        kind = type(error)
        print(json.dumps({"raised": kind.__name__, "base": kind.__bases__[0].__name__,
                          "message": str(error), "seconds": time.monotonic() - started}))
    else:
        x, value = result
        print(json.dumps({"shape": list(x.shape), "ones": int(x.sum()), "value": value,
                          "seconds": time.monotonic() - started}))
"""

SMALL_TASK = "t = allotra.Task(2, 3, np.ones((2, 3), np.int64), np.ones((2, 3), np.int64), 4, np.zeros((2, 3)))\n"
EMPTY_TASK = "t = allotra.Task(0, 3, np.ones((0, 3), np.int64), np.ones((0, 3), np.int64), 4, np.zeros((0, 3)))\n"


def run_case(task_code, call_code, timeout=PROMPT):
    done = run_python(PROLOGUE + task_code + f"outcome(lambda: {call_code})\n", timeout=timeout)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("task_code", [SMALL_TASK, EMPTY_TASK], ids=["2x3", "0x3"])
@pytest.mark.parametrize(
    "call_code",
    [
        "Prob(kmax=2**64 - 1).solve(t)",
        "Prob(kmax=2**63).solve(t)",
        "Prob(2**60).solve(task=t)",
        "Ant(num_ants=2**64 - 1).solve(t)",
        "Ant(num_ants=2**64 - 1, kmax=1).solve(t)",
        "Ant(2**62, 2**64 - 1).solve(t)",
    ],
)
def test_unaddressable_batch_fails_at_once(task_code, call_code):
    outcome = run_case(task_code, call_code)
    assert outcome.get("raised") == "PanicException", outcome
    assert outcome["base"] == "BaseException"
    assert outcome["message"] == "capacity overflow"


def test_no_iteration_means_no_batch():
    """kmax = 0 runs no batch at all, so even an unaddressable number of
    ants returns the empty selection."""
    task = problem(np.ones((2, 2)), np.ones((2, 2)), 3, np.zeros((2, 2))).task
    x, value = Ant(num_ants=UINT64_MAX, kmax=0).solve(task)
    assert x.shape == (2, 2) and not x.any() and value == 0.0


HUGE_EMPTY = 2**59  # the most rows NumPy allows for an empty int64 array is below 2**60


def huge_empty_task(m, n):
    # Broadcast views: older NumPy (1.21) allocates room for the longer axis
    # of an empty array, which fails for this many elements.
    return (
        f"m, n = {m}, {n}\n"
        "z = np.broadcast_to(np.zeros((1, 1), np.int64), (m, n))\n"
        "t = allotra.Task(m, n, z, z, 1, np.broadcast_to(np.zeros((1, 1)), (m, n)))\n"
        "assert t.validate() is True\n"
    )


def numpy_makes_empty(shape):
    try:
        np.empty(shape, np.int64)
    except MemoryError:
        return False
    return True


@pytest.mark.parametrize(
    "shape, call_code",
    [
        ((0, HUGE_EMPTY), "Prob(kmax=3).solve(t)"),
        ((0, HUGE_EMPTY), "Ant(num_ants=2, kmax=3).solve(t)"),
        ((HUGE_EMPTY, 0), "Prob(kmax=3).solve(t)"),
        ((HUGE_EMPTY, 0), "Ant(num_ants=2, kmax=3).solve(t)"),
    ],
)
def test_grid_without_cells_solves_at_once(shape, call_code):
    try:
        outcome = run_case(huge_empty_task(*shape), call_code, timeout=10)
    except Exception as error:  # the TimeoutExpired of a hang
        pytest.fail(f"{type(error).__name__}: {error}")
    if numpy_makes_empty(shape):
        assert outcome == {"shape": list(shape), "ones": 0, "value": 0.0, "seconds": outcome["seconds"]}
    else:
        # Such a NumPy cannot make the result array either: the solve ends
        # at once with its MemoryError, after the (empty) solving.
        assert outcome["raised"] == "MemoryError", outcome


@pytest.mark.parametrize(
    "c, b, b_total",
    [
        # Every cell fits alone, no two together (exactly, without wrap-around).
        ([[INT64_MAX, INT64_MAX, INT64_MAX]], [[INT64_MAX, INT64_MAX, INT64_MAX]], INT64_MAX),
        ([[1, 1], [1, 1]], [[INT64_MAX, INT64_MAX], [INT64_MAX, INT64_MAX]], INT64_MAX),
        # The most negative consumption makes room for everything after it.
        ([[5, 7, 9]], [[INT64_MIN, INT64_MAX, INT64_MAX]], 1),
        # Values beyond float precision, consumption at the extremes.
        ([[INT64_MIN, INT64_MAX], [2**53 + 1, -(2**53) - 1]], [[-1, INT64_MAX], [1, INT64_MIN]], INT64_MAX),
        # All fit, and the values' magnitudes sum past 2^53: the objective's
        # order rounds 2^53 + 1 back to 2^53, which an integer sum would not
        # (with the -3, the plain sum of c stays within 2^53).
        ([[2**53, 1, 1]], [[1, 1, 1]], 3),
        ([[2**53, 1, 1, -3]], [[1, 1, 1, 1]], 4),
    ],
)
@pytest.mark.parametrize("kmax, num_ants", [(40, None), (5, 4), (3, 1)], ids=["probabilistic", "ant colony", "one ant"])
def test_extreme_integers_keep_the_budget_exact(c, b, b_total, kmax, num_ants):
    p = problem(c, b, b_total, np.zeros(np.shape(c)))
    if num_ants is None:
        solver, weights = Prob(kmax=kmax), density(p.c, p.b, p.omega)
    else:
        solver, weights = Ant(num_ants=num_ants, kmax=kmax), None
        # Deposit scales from 3e-18 to -3e38, yet no total weight can become
        # infinite, so every run must succeed.
        assert colony_weights_stay_finite(p, num_ants, kmax, 1.0, 2.0, 0.1, 1.0)
    for _ in range(10):
        check_result(p, solver.solve(p.task), weights)


def test_constructors_accept_every_unsigned_and_float_extreme():
    for count in (0, 1, 2**63, UINT64_MAX):
        assert type(Prob(kmax=count)) is Prob
        assert type(Ant(num_ants=count, kmax=count)) is Ant
    for rate in (0.0, -0.0, 5e-324, 1.7976931348623157e308, float("inf"), float("-inf"), float("nan"), 2**1000):
        assert type(Ant(alpha=rate, beta=rate, rho=rate, initial_pheromone=rate)) is Ant
