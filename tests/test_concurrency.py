"""Several Python threads solving with shared Task and solver objects, and
processes forked after the parent has solved (its worker pool's threads then
exist only in the parent, and its random streams would be shared).

Fork and threads: since Python 3.12, os.fork() in a process that has more
than one thread raises a DeprecationWarning ("This process ... is
multi-threaded, use of fork() may lead to deadlocks in the child"). Once
allotra has solved anything, its worker pool's threads make every process
multi-threaded, and forking such a process is exactly what the fork tests
are about, so they ignore that one warning (the test configuration turns
warnings into errors).
"""

import multiprocessing
import threading

import numpy as np
import pytest

from support import Ant, Prob, check_result, deadlock_limit, density, needs_fork, problem, run_python

pytestmark = deadlock_limit

FORK_WARNING = "ignore:This process .* is multi-threaded, use of fork:DeprecationWarning"
JOIN_TIMEOUT = 120  # seconds; a hang is the failure these tests look for

rng = np.random.default_rng()


def random_problem(m, n):
    c = rng.integers(-3, 40, size=(m, n))
    b = rng.integers(-1, 8, size=(m, n))
    omega = rng.random((m, n))
    omega[rng.random((m, n)) < 0.1] = np.nan
    return problem(c, b, 15, omega)


def check_probabilistic(p, result):
    return check_result(p, result, density(p.c, p.b, p.omega))


# One cell of value 1 fits the budget of 1 at a time: every construction
# picks one of the N equally likely cells, so a result is uniform over N.
N_EQUAL = 256
EQUAL = problem(np.ones((1, N_EQUAL)), np.ones((1, N_EQUAL)), 1, np.zeros((1, N_EQUAL))).task


def chosen_cell(result):
    x, value = result
    assert value == 1.0 and x.sum() == 1
    return int(np.argmax(x))


# --- threads ---------------------------------------------------------------------


def test_threads_share_tasks_and_solvers():
    shared = [random_problem(m, n) for m, n in ((5, 6), (1, 9), (8, 2))]
    solvers = [
        (Prob(kmax=30), True),
        (Prob(kmax=1), True),
        (Ant(num_ants=6, kmax=4), False),
        (Ant(num_ants=1, kmax=3, alpha=0.5, beta=1.0, rho=0.3), False),
    ]
    threads_count, rounds = 8, 25
    start = threading.Barrier(threads_count)
    failures = []
    solved = []

    def work(seed):
        try:
            start.wait()
            for k in range(rounds):
                p = shared[(seed + k) % len(shared)]
                solver, maximal = solvers[(seed * 7 + k) % len(solvers)]
                (check_probabilistic if maximal else check_result)(p, solver.solve(p.task))
                assert p.task.validate() is True
                # Objects made and dropped on one thread while others solve.
                own = random_problem(3, 3)
                check_probabilistic(own, Prob(kmax=5).solve(task=own.task))
                solved.append(seed)
        except BaseException as error:  # noqa: BLE001 - reported on the main thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a solving thread hangs"
    assert not failures, failures[0]
    assert len(solved) == threads_count * rounds


def test_threads_get_independent_random_streams():
    """Threads that solve one after another draw from the worker threads'
    and their own generators; their results vary like independent draws."""
    task = EQUAL
    picks = []
    lock = threading.Lock()

    def work():
        for _ in range(4):
            cell = chosen_cell(Prob(kmax=1).solve(task))
            with lock:
                picks.append(cell)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert len(picks) == 32
    # 32 uniform draws among 256 cells give fewer than 16 distinct ones with
    # a probability below 1e-12.
    assert len(set(picks)) >= 16, sorted(picks)


# --- fork ------------------------------------------------------------------------


def _solve_in_child(which):
    """Runs in a forked child: solves with batches on a pool that the child
    has to make anew, and returns the results for the parent to check."""
    task = SHARED_FOR_FORK.task
    if which == "prob":
        return [Prob(kmax=40).solve(task) for _ in range(3)]
    return [Ant(num_ants=8, kmax=5).solve(task) for _ in range(3)]


SHARED_FOR_FORK = random_problem(6, 7)


@needs_fork
@pytest.mark.filterwarnings(FORK_WARNING)
@pytest.mark.parametrize("which", ["prob", "ant"])
def test_fork_pool_children_solve(which):
    p = SHARED_FOR_FORK
    # The parent solves first, so its pool's threads are running at fork.
    check_probabilistic(p, Prob(kmax=40).solve(p.task))
    check_result(p, Ant(num_ants=8, kmax=5).solve(p.task))
    context = multiprocessing.get_context("fork")
    with context.Pool(4) as pool:
        batches = pool.map_async(_solve_in_child, [which] * 8, chunksize=1).get(timeout=JOIN_TIMEOUT)
    assert len(batches) == 8
    for results in batches:
        for result in results:
            (check_probabilistic if which == "prob" else check_result)(p, result)
    # And the parent's own pool still works afterwards.
    check_probabilistic(p, Prob(kmax=40).solve(p.task))


def _first_pick(solver_kind, connection):
    task = EQUAL
    solver = {
        "one construction": Prob(kmax=1),  # runs on the (forked) calling thread
        "one ant": Ant(num_ants=1, kmax=1),  # the same, for the colony
        "pool": Prob(kmax=2),  # runs on the child's new pool threads
    }[solver_kind]
    connection.send(chosen_cell(solver.solve(task)))
    connection.close()


@needs_fork
@pytest.mark.filterwarnings(FORK_WARNING)
@pytest.mark.parametrize("solver_kind", ["one construction", "one ant", "pool"])
def test_forked_children_draw_different_numbers(solver_kind):
    """If a child kept the parent's random stream, every child's first draw
    would be the same."""
    task = EQUAL
    # The parent draws on its own thread and on its pool's threads first.
    chosen_cell(Prob(kmax=1).solve(task))
    chosen_cell(Ant(num_ants=1, kmax=1).solve(task))
    chosen_cell(Prob(kmax=2).solve(task))
    context = multiprocessing.get_context("fork")
    children = []
    for _ in range(8):
        receiving, sending = context.Pipe(duplex=False)
        child = context.Process(target=_first_pick, args=(solver_kind, sending))
        child.start()
        sending.close()
        children.append((child, receiving))
    picks = []
    try:
        for child, receiving in children:
            assert receiving.poll(JOIN_TIMEOUT), "a forked child hangs"
            picks.append(receiving.recv())
            child.join(JOIN_TIMEOUT)
            assert child.exitcode == 0
    finally:
        for child, _ in children:
            if child.is_alive():
                child.kill()
    # Independent uniform picks among 256 cells: at most 2 distinct values
    # among 8 has a probability below 1e-12.
    assert len(set(picks)) >= 3, picks


@needs_fork
@pytest.mark.filterwarnings(FORK_WARNING)
def test_fork_right_after_a_batch():
    """Forks while the pool's workers may still be spinning or just going to
    sleep after a batch; the child must not inherit a lock it waits on."""
    p = SHARED_FOR_FORK
    context = multiprocessing.get_context("fork")
    for _ in range(15):
        Ant(num_ants=6, kmax=1).solve(p.task)
        receiving, sending = context.Pipe(duplex=False)
        child = context.Process(target=_solve_and_send, args=(sending,))
        child.start()
        sending.close()
        try:
            assert receiving.poll(JOIN_TIMEOUT), "a child forked right after a batch hangs"
            check_result(p, receiving.recv())
            child.join(JOIN_TIMEOUT)
            assert child.exitcode == 0
        finally:
            if child.is_alive():
                child.kill()


def _solve_and_send(connection):
    connection.send(Ant(num_ants=6, kmax=2).solve(SHARED_FOR_FORK.task))
    connection.close()


@needs_fork
def test_fork_before_the_first_solve():
    """A child forked before the parent ever solved makes its own pool;
    then both solve. Runs in a fresh interpreter, where nothing has solved."""
    code = """
import os, sys, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import numpy as np
import allotra
task = allotra.Task(2, 3, np.ones((2, 3), np.int64), np.ones((2, 3), np.int64), 2, np.zeros((2, 3)))
pid = os.fork()
if pid == 0:
    x, value = allotra.ProbabilisticAssignmentSolver(kmax=20).solve(task)
    os._exit(0 if value == 2.0 and x.sum() == 2 else 3)
x, value = allotra.AntColonyAssignmentSolver(num_ants=4, kmax=3).solve(task)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), value, x.sum())
"""
    done = run_python(code, timeout=JOIN_TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0", "2.0", "2"], done.stdout
