"""Extreme parameters and shapes: batches too large to address fail at once
with PanicException "capacity overflow" instead of running or hanging;
grids with a huge number of rows and no columns (or the reverse) solve at
once; extreme integer values keep the budget exact.

The calls that could hang run in a fresh interpreter with a timeout, so a
hang fails the test instead of stopping the session. (A huge kmax for the ant
colony simply runs, and Ctrl-C stops it: test_interrupt.py.)
"""

import json
import time

import numpy as np
import pytest

import allotra
from result_invariants import INT64_MAX, INT64_MIN, UINT64_MAX, check_result, is_panic, plain_task, run_python

Prob = allotra.ProbabilisticAssignmentSolver
Ant = allotra.AntColonyAssignmentSolver

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
    assert outcome["seconds"] < 10


def test_unaddressable_batch_in_process():
    task, *_ = plain_task(np.ones((2, 2)), np.ones((2, 2)), 3, np.zeros((2, 2)))
    for solver in (Prob(kmax=UINT64_MAX), Ant(num_ants=UINT64_MAX)):
        with pytest.raises(BaseException) as caught:
            solver.solve(task)
        assert is_panic(caught.value) and str(caught.value) == "capacity overflow"
        # An `except Exception` clause does not swallow it.
        assert not isinstance(caught.value, Exception)


def test_no_iteration_means_no_batch():
    """kmax = 0 runs no batch at all, so even an unaddressable number of
    ants returns the empty selection."""
    task, *_ = plain_task(np.ones((2, 2)), np.ones((2, 2)), 3, np.zeros((2, 2)))
    x, value = Ant(num_ants=UINT64_MAX, kmax=0).solve(task)
    assert x.shape == (2, 2) and not x.any() and value == 0.0


HUGE_EMPTY = 2**59  # the most rows NumPy allows for an empty int64 array is below 2**60


def huge_empty_task(m, n):
    return (
        f"m, n = {m}, {n}\n"
        "t = allotra.Task(m, n, np.zeros((m, n), np.int64), np.zeros((m, n), np.int64), 1, np.zeros((m, n)))\n"
        "assert t.validate() is True\n"
    )


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
    assert outcome == {"shape": list(shape), "ones": 0, "value": 0.0, "seconds": outcome["seconds"]}


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
    ],
)
@pytest.mark.parametrize("solver", [Prob(kmax=40), Ant(num_ants=4, kmax=5), Ant(num_ants=1, kmax=3)],
                         ids=["probabilistic", "ant colony", "one ant"])
def test_extreme_integers_keep_the_budget_exact(c, b, b_total, solver):
    task, c, b, omega = plain_task(c, b, b_total, np.zeros(np.shape(c)))
    for _ in range(10):
        try:
            result = solver.solve(task)
        except BaseException as error:  # noqa: BLE001
            # A colony whose deposit scale is 0 or tiny may make a weight
            # infinite; nothing else may fail.
            assert type(solver) is Ant and is_panic(error) and str(error).endswith("NonFinite"), repr(error)
            continue
        check_result(result, c, b, b_total, omega, maximal=type(solver) is Prob)


def test_constructors_accept_every_unsigned_and_float_extreme():
    started = time.monotonic()
    for count in (0, 1, 2**63, UINT64_MAX):
        assert type(Prob(kmax=count)) is Prob
        assert type(Ant(num_ants=count, kmax=count)) is Ant
    for rate in (0.0, -0.0, 5e-324, 1.7976931348623157e308, float("inf"), float("-inf"), float("nan"), 2**1000):
        assert type(Ant(alpha=rate, beta=rate, rho=rate, initial_pheromone=rate)) is Ant
    for bad in (-1, 2**64, -(2**64)):
        with pytest.raises(OverflowError):
            Prob(kmax=bad)
        with pytest.raises(OverflowError):
            Ant(num_ants=bad)
    with pytest.raises(OverflowError):
        Ant(alpha=2**1024)  # an int too large for a float
    assert time.monotonic() - started < 10
