"""Repeated successful and failing calls of every entry point leave memory
flat: the Python heap as tracemalloc sees it (including NumPy's array data)
and the process's resident size, which also covers the native matrices,
the batch results and the worker threads' allocations.

Each workload runs a warm-up first (the worker pool, allocator arenas and
interpreter caches settle), then thousands of calls. The tasks are 32 x 32,
so that one matrix lost per call (8 KiB) would add far more than the
resident-size bound over the measured calls, while a budget of 20 keeps
every construction short. The deltas are listed in the terminal summary.
"""

import gc
import tracemalloc

import numpy as np
import pytest

from support import STATM, UNDER_SANITIZER, Ant, Failing, Prob, Task, is_non_finite, is_panic, report, resident_bytes

M, N = 32, 32
WARM_UP = 300
CALLS = 4000
# Generous bounds that never flake: 20 MB of resident size, and 64 KiB of
# traced Python memory (a Python float lost per call would be 96 KB over
# 4000 calls, a 2-tuple 224 KB, a result array far more; the noise is
# below 1 KiB).
RSS_BOUND = 20 * 2**20
TRACED_BOUND = 64 * 2**10

rng = np.random.default_rng()
C = rng.integers(-5, 50, size=(M, N)).astype(np.int64)
B = rng.integers(1, 10, size=(M, N)).astype(np.int64)
OMEGA = rng.random((M, N))
B_TOTAL = 20
TASK = Task(M, N, C, B, B_TOTAL, OMEGA)

C_FORTRAN = np.asfortranarray(C)
B_STRIDED = np.repeat(B, 2, axis=1)[:, ::2]
OMEGA_REVERSED = np.ascontiguousarray(OMEGA[::-1, ::-1])[::-1, ::-1]
OMEGA_BAD_LAST = OMEGA.copy()
OMEGA_BAD_LAST[-1, -1] = 1.5
HUGE = np.broadcast_to(np.zeros((1, 1), np.int64), (2**28, 2**28))

# A task whose colony meets an infinite weight on a worker thread: b_ij = 0
# gives eta = 0, and beta < 0 makes 0 ** beta infinite.
ZERO_B = B.copy()
ZERO_B[0, 0] = 0
NON_FINITE_TASK = Task(M, N, C, ZERO_B, B_TOTAL, OMEGA)


def raises(kind, call, check=None):
    def workload():
        try:
            call()
        except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
            if isinstance(error, KeyboardInterrupt):
                raise
            assert type(error) is kind or (kind == "panic" and is_panic(error)), repr(error)
            if check is not None:
                assert check(error), repr(error)
        else:
            raise AssertionError("no exception")

    return workload


WORKLOADS = {
    "Task": lambda: Task(M, N, C, B, B_TOTAL, OMEGA),
    "Task from views": lambda: Task(M, N, C_FORTRAN, B_STRIDED, B_TOTAL, OMEGA_REVERSED),
    "Task keywords": lambda: Task(omega=OMEGA, b_total=B_TOTAL, b_ij=B, c=C, n=N, m=M),
    "validate": TASK.validate,
    "Task element type refused": raises(TypeError, lambda: Task(M, N, C.astype(np.int32), B, B_TOTAL, OMEGA)),
    "Task discount refused": raises(ValueError, lambda: Task(M, N, C, B, B_TOTAL, OMEGA_BAD_LAST)),
    "Task budget refused": raises(ValueError, lambda: Task(M, N, C, B, 0, OMEGA)),
    "Task overflow": raises(OverflowError, lambda: Task(M, -1, C, B, B_TOTAL, OMEGA)),
    "Task argument count": raises(TypeError, lambda: Task(M, N, C, B, B_TOTAL)),
    "Task huge view": raises(MemoryError, lambda: Task(M, N, HUGE, B, B_TOTAL, OMEGA)),
    "solver constructors": lambda: (Prob(kmax=3), Ant(2, 1, 1.5, beta=2, rho=0.25, initial_pheromone=3)),
    "solver constructor refused": raises(TypeError, lambda: Ant(2, 1, alpha="x")),
    "solver constructor passes ValueError": raises(ValueError, lambda: Ant(rho=Failing(ValueError))),
    "solver constructor overflow": raises(OverflowError, lambda: Prob(kmax=2**64)),
    "probabilistic solve": lambda: Prob(kmax=2).solve(TASK),
    "probabilistic solve, one construction": lambda: Prob(kmax=1).solve(task=TASK),
    "ant colony solve": lambda: Ant(num_ants=2, kmax=1).solve(TASK),
    "ant colony solve, one ant": lambda: Ant(num_ants=1, kmax=2).solve(TASK),
    "runs with a seed, a limit and a callback": lambda: (
        Prob(kmax=3).run(TASK, seed=2**100, time_limit=9.0, callback=lambda *a: None),
        Ant(num_ants=2, kmax=2).run(TASK, callback=lambda *a: True)),
    "run's callback raises": raises(ZeroDivisionError, lambda: Ant(num_ants=2, kmax=2).run(TASK, callback=lambda *a: 1 / 0)),
    "solve refuses a non-task": raises(TypeError, lambda: Prob(kmax=1).solve(C)),
    "solve argument count": raises(TypeError, lambda: Ant().solve(TASK, TASK)),
    "capacity overflow": raises("panic", lambda: Prob(kmax=2**64 - 1).solve(TASK),
                                lambda e: str(e) == "capacity overflow"),
    "non-finite weight on the workers": raises("panic", lambda: Ant(num_ants=4, kmax=1, beta=-1.0).solve(
        NON_FINITE_TASK), is_non_finite),
}


@pytest.mark.parametrize("name", list(WORKLOADS))
def test_memory_stays_flat(name, capfd, pytestconfig):
    workload = WORKLOADS[name]
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            workload()
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = resident_bytes()
        for _ in range(CALLS):
            workload()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        rss_after = resident_bytes()
    finally:
        tracemalloc.stop()
    capfd.readouterr()  # the internal-error reports of the panicking workloads
    rss_growth = None if rss_before is None else rss_after - rss_before
    resident = "not measured" if rss_growth is None else f"{rss_growth / 2**20:+.2f} MiB"
    report(pytestconfig, "allotra memory after repeated calls",
           f"{name}: {CALLS} calls, traced {traced_growth:+d} B, resident {resident}")
    assert traced_growth < TRACED_BOUND
    if rss_growth is None:
        pytest.skip(f"the traced heap stayed flat; the resident size needs {STATM}")
    if not UNDER_SANITIZER:
        # ASan keeps freed memory in quarantine, so resident size grows there.
        assert rss_growth < RSS_BOUND
