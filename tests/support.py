"""What the Python tests share: numbers, messages and number-like stand-ins;
platform conditions; array layouts; a Task with the values it was built
from; the check every result of solve must pass; exact outcome
distributions of tiny tasks with frequency tests; and small process and
reporting helpers."""

from collections import Counter, defaultdict
from dataclasses import dataclass
from fractions import Fraction
import math
import operator
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import allotra

Task = allotra.Task
Prob = allotra.ProbabilisticAssignmentSolver
Ant = allotra.AntColonyAssignmentSolver

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1
# Budget large enough for every cell of the small grids used in the tests.
AMPLE_BUDGET = 10**6

# Under AddressSanitizer a C++ allocation that fails aborts the process
# instead of throwing, so tests that provoke one skip themselves there.
UNDER_SANITIZER = os.environ.get("ALLOTRA_SANITIZE") == "1"

# --- messages ---------------------------------------------------------------

COST_SHAPE = "Некоректні розміри матриці вартості"
RESOURCE_SHAPE = "Некоректні розміри матриці витрат ресурсу"
DISCOUNT_SHAPE = "Некоректні розміри матриці знижок"
DISCOUNT_RANGE = "Знижки повинні бути в діапазоні [0, 1]"
BUDGET_NOT_POSITIVE = "Загальний ресурс повинен бути додатнім"

ARRAY_TARGET = "PyArray<T, D>"


def refusal(name, type_name, target=ARRAY_TARGET):
    """The message of an argument refused for its type."""
    return f"argument '{name}': '{type_name}' object cannot be converted to '{target}'"


def is_panic(error):
    """The module's exception for failed internal checks: named
    PanicException and derived from BaseException directly."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__bases__ == (BaseException,)


def is_non_finite(error):
    """The failure of a construction whose total weight is infinite."""
    return is_panic(error) and str(error).endswith("NonFinite")


# --- platform conditions ------------------------------------------------------

needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
# A SIGINT sent with os.kill, and SIGALRM from an interval timer; on Windows
# os.kill terminates the process instead, and there is no setitimer.
needs_posix_signals = pytest.mark.skipif(
    os.name != "posix" or not hasattr(signal, "setitimer"), reason="needs POSIX signals and setitimer"
)
# The time limit of each test that can deadlock (run, exit, fork, interrupt
# and pool tests), generous because the suite also runs under
# AddressSanitizer: a hang fails the test by name (see conftest.py).
deadlock_limit = pytest.mark.timeout(300)

STATM = "/proc/self/statm"


def resident_bytes():
    """The process's resident size, or None without /proc."""
    if not os.path.exists(STATM):
        return None
    with open(STATM) as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- number-like stand-ins ----------------------------------------------------


class _StandIn:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class Index(_StandIn):
    """Converts to an integer only through __index__ (returning anything)."""

    def __index__(self):
        return self.value


class FloatLike(_StandIn):
    """Converts to a float only through __float__ (returning anything)."""

    def __float__(self):
        return self.value


class Failing:
    """Both conversions fail with a new `kind(message)` whose cause is `cause`."""

    def __init__(self, kind, message="conversion refused", cause=None):
        self.kind, self.message, self.cause = kind, message, cause

    def _fail(self):
        error = self.kind(self.message)
        error.__cause__ = self.cause
        raise error

    __index__ = __float__ = _fail

    def __repr__(self):
        return f"Failing({self.kind.__name__})"


class OddTypeError(TypeError):
    """A TypeError subclass: passes unchanged, unlike TypeError itself."""


class IntSubclass(int):
    def __index__(self):  # never consulted for int subclasses
        raise AssertionError("__index__ of an int subclass was called")


class FloatSubclass(float):
    def __float__(self):  # never consulted for float subclasses
        raise AssertionError("__float__ of a float subclass was called")


# --- array layouts ------------------------------------------------------------


class SubArray(np.ndarray):
    """A plain ndarray subclass."""


def _within(a, shape, where):
    big = np.zeros(shape, dtype=a.dtype)
    big[where] = a
    return big[where]


def _stepped(a, steps):
    m, n = a.shape
    view = np.zeros((2 * m + 1, 3 * n + 1), dtype=a.dtype)[steps][:m, :n]
    view[...] = a
    return view


def _as_field(a, record):
    s = np.zeros(a.shape, dtype=record)
    s["v"] = a
    return s["v"]


def _misaligned(a):
    raw = np.zeros(a.size * a.itemsize + 1, dtype=np.uint8)
    view = raw[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


def _read_only(a):
    b = np.array(a)
    b.flags.writeable = False
    return b


def _broadcast(a, part):
    m, n = a.shape
    if m == 0 or n == 0:
        return np.broadcast_to(np.zeros((1, 1), dtype=a.dtype), (m, n))
    return np.broadcast_to(a[part].copy(), (m, n))


_LAYOUTS = {
    "C": np.ascontiguousarray,
    "F": np.asfortranarray,
    "T": lambda a: np.ascontiguousarray(a.T).T,  # a transposed view of a row-major array
    "rows_reversed": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "cols_reversed_F": lambda a: np.asfortranarray(a[:, ::-1])[:, ::-1],
    "both_reversed": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    # not one gap-free block:
    "stepped": lambda a: _stepped(a, np.s_[1::2, ::3]),
    "stepped_reversed": lambda a: _stepped(a, np.s_[-2::-2, ::-3]),
    "column_window": lambda a: _within(a, (a.shape[0], a.shape[1] + 3), np.s_[:, 1 : a.shape[1] + 1]),
    # whole-element strides on misaligned data:
    "misaligned": _misaligned,
    "unaligned_field": lambda a: _as_field(a, [("pad", "u1"), ("v", a.dtype), ("tail", "V7")]),
    "subclass": lambda a: np.ascontiguousarray(a).view(SubArray),
    "masked": lambda a: np.ma.MaskedArray(np.array(a), mask=np.zeros(a.shape, dtype=bool)),
    "readonly": _read_only,
    # strides of 9 bytes, refused on an axis longer than 1:
    "packed_field": lambda a: _as_field(a, [("pad", "u1"), ("v", a.dtype)]),
    # a broadcast of part of the values (the first row, column or element):
    "broadcast_row": lambda a: _broadcast(a, np.s_[:1]),
    "broadcast_col": lambda a: _broadcast(a, np.s_[:, :1]),
    "broadcast_one": lambda a: _broadcast(a, np.s_[:1, :1]),
}
LAYOUTS = list(_LAYOUTS)
# The layouts that show exactly the values given and are always accepted.
FAITHFUL_LAYOUTS = LAYOUTS[: LAYOUTS.index("packed_field")]


def arrange(a, layout):
    """The values of the 2-D array `a` in the memory layout `layout` (one of
    LAYOUTS)."""
    return _LAYOUTS[layout](np.asarray(a))


def kept_strides(a):
    """Element strides of the Task's copy of the accepted array `a`: a
    gap-free block keeps the source's strides (an axis of length 0 or 1 counts
    as row-major), anything else is copied row-major."""
    m, n = a.shape
    sr = n if m <= 1 else a.strides[0] // a.itemsize
    sc = 1 if n <= 1 else a.strides[1] // a.itemsize
    if (abs(sc) == 1 and abs(sr) == n) or (abs(sr) == 1 and abs(sc) == m):
        return sr, sc
    return n, 1


def _layout_score(a):
    m, n = a.shape
    sr, sc = kept_strides(a)
    if (sr, sc) == (n, 1):
        return 2
    if (sr, sc) == (1, m):
        return -2
    return -1 if sr == 1 else 1 if sc == 1 else 0


def visits_by_column(c, omega):
    """Whether the objective adds up a Task built from these arrays column
    by column (its copies of c and omega lean column-major) instead of row
    by row."""
    m, n = c.shape
    return m >= 2 and n >= 2 and 2 + _layout_score(c) + _layout_score(omega) < 0


# --- tasks ----------------------------------------------------------------------


@dataclass
class Problem:
    """A Task with plain copies of the values it was built from."""

    task: allotra.Task
    c: np.ndarray
    b: np.ndarray
    b_total: int
    omega: np.ndarray
    by_column: bool  # the objective's order of summation

    @property
    def shape(self):
        return self.c.shape

    @classmethod
    def of(cls, task, c, b, b_total, omega):
        """`task`, built from these arrays (in their layouts) and budget."""
        plain = [np.array(np.asarray(a)) for a in (c, b, omega)]
        return cls(task, plain[0], plain[1], int(b_total), plain[2], visits_by_column(c, omega))


def problem(c, b, b_total, omega, layouts=("C", "C", "C")):
    """A Task from array-likes, its arrays laid out as `layouts` say."""
    c = arrange(np.asarray(c, dtype=np.int64), layouts[0])
    b = arrange(np.asarray(b, dtype=np.int64), layouts[1])
    omega = arrange(np.asarray(omega, dtype=np.float64), layouts[2])
    m, n = c.shape
    return Problem.of(allotra.Task(m, n, c, b, b_total, omega), c, b, b_total, omega)


def task_arrays(m, n):
    """c, b_ij and omega of a valid m x n task: values 1.., unit consumptions, no discounts."""
    c = np.arange(1, m * n + 1, dtype=np.int64).reshape(m, n)
    return c, np.ones((m, n), dtype=np.int64), np.zeros((m, n))


def make_task(m=2, n=3, *, c=None, b_ij=None, b_total=AMPLE_BUDGET, omega=None):
    """A Task with the arrays of task_arrays unless given."""
    given = (c, b_ij, omega)
    default = task_arrays(int(operator.index(m)), int(operator.index(n)))
    c, b_ij, omega = (d if g is None else g for g, d in zip(given, default))
    return allotra.Task(m, n, c, b_ij, b_total, omega)


def random_problem(rng, m, n, kind, layouts=("C", "C", "C")):
    """A random task; `kind` is "small" (c, b >= 0), "signed" (negative and
    zero entries, a few NaN discounts) or "huge" (entries up to 2**62,
    beyond float precision, budget up to 2**63 - 1)."""
    shape = (m, n)
    omega = rng.random(shape)
    omega[rng.random(shape) < 0.15] = 0.0
    omega[rng.random(shape) < 0.05] = 1.0
    if kind == "small":
        c = rng.integers(0, 20, shape)
        b = rng.integers(1, 10, shape)
        b_total = int(rng.integers(1, max(2, b.sum() // 2 + 2)))
    elif kind == "signed":
        c = rng.integers(-10, 30, shape)
        b = rng.integers(-5, 12, shape)
        b_total = int(rng.integers(1, 25))
        omega[rng.random(shape) < 0.05] = np.nan
    else:  # huge
        c = rng.integers(-(2**62), 2**62, shape) >> rng.integers(0, 62, shape)
        b = rng.integers(-(2**60), 2**62, shape) >> rng.integers(0, 4, shape)
        b_total = int(rng.integers(2**60, INT64_MAX, endpoint=True))
    if kind != "small" and m * n and c.max() <= 0:
        # keep the colony's deposit scale away from 0 (whose deposits of
        # +-inf would make a later weight infinite)
        c.flat[rng.integers(m * n)] = 7
    return problem(c, b, b_total, omega, layouts)


def padded(p, shape=(6, 12), at=(2, 5)):
    """`p` placed at `at` in a larger grid whose other cells never fit the
    budget (though their weights are positive); the outcomes stay those of
    `p`, now on a grid large enough for every form of construction."""
    m, n = p.shape
    lowest_used = sum(min(int(v), 0) for v in p.b.ravel())
    c = np.ones(shape, dtype=np.int64)
    b = np.full(shape, min(INT64_MAX, p.b_total + 1 - lowest_used), dtype=np.int64)
    omega = np.zeros(shape)
    window = (slice(at[0], at[0] + m), slice(at[1], at[1] + n))
    c[window], b[window], omega[window] = p.c, p.b, p.omega
    return problem(c, b, p.b_total, omega)


# --- arithmetic as the native code does it ------------------------------------


def ieee_div(a, b):
    """a / b in float64 with infinities and NaN instead of exceptions."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def c_pow(x, y):
    """pow(x, y) of the C library, with its infinities and NaN."""
    with np.errstate(all="ignore"):
        return float(np.power(np.float64(x), np.float64(y)))


def density(c, b, omega):
    """The value density ((1 - omega) * c) / b_ij in float64, 0 where b_ij is 0:
    the probabilistic construction's weights and the colony's eta."""
    with np.errstate(all="ignore"):
        d = ((1.0 - np.asarray(omega, dtype=np.float64)) * np.asarray(c).astype(np.float64)) / np.asarray(b).astype(
            np.float64
        )
    return np.where(np.asarray(b) == 0, 0.0, d)


def ant_weights(p, tau, alpha, beta):
    """An ant's weights pow(tau, alpha) * pow(eta, beta), cell by cell."""
    eta = density(p.c, p.b, p.omega)
    tau = np.broadcast_to(np.asarray(tau, dtype=np.float64), eta.shape)
    with np.errstate(all="ignore"):
        return np.array([[c_pow(t, alpha) * c_pow(e, beta) for t, e in zip(*rows)] for rows in zip(tau, eta)]).reshape(
            eta.shape
        )


def objective(p, x):
    """Sum of c * (1 - omega) over the cells with x == 1, in the module's
    order of summation, in plain float64 arithmetic."""
    m, n = p.shape
    cells = [(i, j) for j in range(n) for i in range(m)] if p.by_column else np.ndindex(m, n)
    total = 0.0
    for i, j in cells:
        if x[i][j] == 1:
            total = total + float(int(p.c[i, j])) * (1.0 - float(p.omega[i, j]))
    return total


def deposit_scale(p):
    """The colony's deposit scale: budget over mean consumption (the sum of
    b_ij exact), times the largest c (never below 0); a zero is +0.0."""
    m, n = p.shape
    mean = ieee_div(float(sum(int(v) for v in p.b.flat)), float(m * n))
    top = max([0] + [int(v) for v in p.c.flat])
    return ieee_div(float(p.b_total), mean) * float(top) + 0.0


def colony_weights_stay_finite(p, num_ants, kmax, alpha, beta, rho, initial_pheromone):
    """True when no ant's total weight can become infinite in this colony
    run: a bound on |tau| over the iterations (|value| is at most the sum of
    |c|), raised to alpha, times the largest |eta| raised to beta, times the
    number of cells, stays below the largest float with room to spare. False
    means that an infinite total cannot be ruled out this way (negative or
    non-finite exponents, a zero or tiny deposit scale, a growing tau)."""
    if not (0.0 <= alpha < math.inf and 0.0 <= beta < math.inf) or not math.isfinite(initial_pheromone):
        return False
    cells = p.c.size
    if cells == 0 or kmax == 0 or num_ants == 0:
        return True
    scale = deposit_scale(p)
    most = float(sum(abs(int(v)) for v in p.c.flat)) * 1.001
    if math.isnan(scale) or math.isinf(scale) or most == 0.0:
        deposit = 0.0  # NaN deposits only make weights NaN; the rest are 0
    elif scale == 0.0:
        return False
    else:
        deposit = float(num_ants) * most / abs(scale)
    keep = abs(1.0 - rho)
    if math.isnan(keep):
        return alpha == 0.0 and _log_weight_bound(p, 0.0, 0.0, beta, cells)
    tau = abs(initial_pheromone)
    if keep <= 1.0:
        tau_bound = tau + float(kmax - 1) * deposit
    else:
        tau_bound = tau
        for _ in range(min(kmax - 1, 5000)):
            tau = tau * keep + deposit
            tau_bound = max(tau_bound, tau)
            if math.isinf(tau):
                return alpha == 0.0 and _log_weight_bound(p, 0.0, 0.0, beta, cells)
        if kmax - 1 > 5000:
            return alpha == 0.0 and _log_weight_bound(p, 0.0, 0.0, beta, cells)
    return _log_weight_bound(p, tau_bound * 1.001, alpha, beta, cells)


def _log_weight_bound(p, tau_bound, alpha, beta, cells):
    def log_power(x, y):  # log of an upper bound of |pow(x', y)| for |x'| <= x
        if y == 0.0:
            return 0.0
        return -math.inf if x == 0.0 else y * math.log(x)

    eta = np.abs(density(p.c, p.b, p.omega))
    eta_bound = float(np.max(np.where(np.isnan(eta), 0.0, eta))) * 1.001
    if math.isinf(eta_bound) or math.isinf(tau_bound):
        return False
    bound = log_power(tau_bound, alpha) + log_power(eta_bound, beta) + math.log(4 * cells)
    return bound < math.log(np.finfo(np.float64).max)


# --- results --------------------------------------------------------------------


def check_result(p, result, weights=None):
    """Checks what holds for every result of either solver: a new
    C-contiguous int64 (m, n) array of 0 and 1 whose cells keep the budget
    (exact integer sum), and a float value equal to the selection's objective
    in the module's order of summation, 0.0 only for the empty selection.
    With `weights` (an m x n array), a selection of positive value must be
    maximal: no free cell of positive weight still fits (a negative b_ij may
    have made room for one). A RunResult's value is at most its bound.
    Returns (x, value)."""
    if type(result) is allotra.RunResult:
        assert type(result.bound) is float and result.value <= result.bound, (result.value, result.bound)
        result = result[:2]
    assert type(result) is tuple and len(result) == 2
    x, value = result
    assert type(x) is np.ndarray and x.dtype == np.int64 and x.dtype.isnative and x.shape == p.shape
    assert x.flags.c_contiguous and x.flags.writeable and x.flags.owndata
    assert type(value) is float
    assert np.isin(x, (0, 1)).all(), x
    chosen = x == 1
    used = sum(int(v) for v in p.b[chosen])
    assert used <= p.b_total, (x, used, p.b_total)
    assert value == objective(p, x), (value, objective(p, x), x)
    assert value >= 0.0
    if value == 0.0:
        # Only a value above 0.0 ever replaces the empty starting point.
        assert not chosen.any(), x
    elif weights is not None:
        fits = (~chosen) & (np.asarray(weights) > 0.0)
        for i, j in zip(*np.nonzero(fits)):
            assert used + int(p.b[i, j]) > p.b_total, ("cell", (i, j), "still fits", x)
    return x, value


def relaxation_optimum(p):
    """The optimum of the task's continuous relaxation (every cell taken in
    any fraction from 0 to 1, the budget kept), in exact rationals: the cells'
    values are the objective's float64 terms, a NaN one is left out. A cell
    that gives budget back is taken whole, then given up in part like any
    item if its value is negative; the items go densest first."""
    values = (1.0 - p.omega) * p.c.astype(np.float64)
    base, room, items = Fraction(0), p.b_total, []
    for value, amount in zip(values.ravel().tolist(), p.b.ravel().tolist()):
        if math.isnan(value):
            continue
        value = Fraction(value)
        if amount < 0:
            base, room = base + value, room - amount
            value, amount = -value, -amount
        elif amount == 0:
            base += max(value, 0)
            continue
        if value > 0:
            items.append((value / amount, value, amount))
    for ratio, value, amount in sorted(items, reverse=True):
        if amount > room:
            return base + ratio * room
        base, room = base + value, room - amount
    return base


def bound_allowance(p):
    """How far above the relaxation's optimum the bound may lie: rounding
    errors of 8 (cells + 2) 2^-53 of the sum of the cells' |value|."""
    values = np.abs((1.0 - p.omega) * p.c.astype(np.float64))
    finite = values[~np.isnan(values)]
    return Fraction(8 * (finite.size + 2)) * Fraction(math.fsum(finite.tolist())) * Fraction(1, 2**52)


# --- exact distributions of tiny tasks ------------------------------------------


def selection_distribution(p, weights):
    """Exact probability of every final selection (a frozenset of row-major
    cell numbers) of one construction that draws, at each step, one free cell
    that fits the remaining budget and has a weight above 0, in proportion to
    that weight. Selections of equal size are expanded together, so a set
    reached in several orders is expanded once."""
    b = [int(v) for v in p.b.ravel()]
    w = [float(v) for v in np.asarray(weights).ravel()]
    drawable = [k for k in range(len(w)) if w[k] > 0.0]
    final = defaultdict(float)
    level = {frozenset(): 1.0}
    while level:
        following = defaultdict(float)
        for chosen, prob in level.items():
            used = sum(b[k] for k in chosen)
            free = [k for k in drawable if k not in chosen and used + b[k] <= p.b_total]
            if not free:
                final[chosen] += prob
                continue
            total = math.fsum(w[k] for k in free)
            for k in free:
                following[chosen | {k}] += prob * w[k] / total
        level = following
    return dict(final)


def matrix_of(p, selection):
    x = np.zeros(p.shape, dtype=np.int64)
    x.flat[sorted(selection)] = 1
    return x


def outcome_key(x, value):
    return (np.asarray(x, dtype=np.int64).tobytes(), value)


def outcome_distribution(p, weights):
    """Probability of every (matrix, value) result of a solve that runs one
    construction: the construction's selection when its value is above 0.0,
    the zero matrix and 0.0 otherwise."""
    zero = outcome_key(np.zeros(p.shape, dtype=np.int64), 0.0)
    out = defaultdict(float)
    for selection, prob in selection_distribution(p, weights).items():
        x = matrix_of(p, selection)
        value = objective(p, x)
        out[outcome_key(x, value) if value > 0.0 else zero] += float(prob)
    return dict(out)


def best_of(single, k):
    """Distribution of the best of k independent results drawn from `single`
    (keys (matrix bytes, value)): the earliest of the highest value wins."""
    by_value = defaultdict(float)
    for (_, value), prob in single.items():
        by_value[value] += prob
    below, at_or_below = {}, 0.0
    for value in sorted(by_value):
        below[value] = at_or_below
        at_or_below += by_value[value]
    out = {}
    for key, prob in single.items():
        value = key[1]
        upper = min(1.0, below[value] + by_value[value])
        out[key] = (upper**k - below[value] ** k) * prob / by_value[value]
    return out


def colony_distribution(p, num_ants, kmax, alpha, beta, rho, initial_pheromone):
    """Exact distribution of the (matrix, value) result of the ant colony
    solver on a tiny task, following every iteration's pheromone update."""
    zero = outcome_key(np.zeros(p.shape, dtype=np.int64), 0.0)
    scale = deposit_scale(p)
    states = {((initial_pheromone,) * p.c.size, zero): 1.0}
    for _ in range(kmax):
        following = defaultdict(float)
        for (tau, best), prob in states.items():
            single = selection_distribution(p, ant_weights(p, np.reshape(tau, p.shape), alpha, beta))
            ants = [((), prob)]
            for _ in range(num_ants):
                ants = [(done + (s,), q * r) for done, q in ants for s, r in single.items()]
            for selections, q in ants:
                new_best = best
                updated = [t * (1.0 - rho) for t in tau]
                for s in selections:
                    x = matrix_of(p, s)
                    value = objective(p, x)
                    if value > new_best[1]:
                        new_best = outcome_key(x, value)
                    deposit = ieee_div(value, scale)
                    for k in s:
                        updated[k] += deposit
                following[(tuple(updated), new_best)] += q
        states = following
    out = defaultdict(float)
    for (_, best), prob in states.items():
        out[best] += prob
    return dict(out)


# --- frequencies ----------------------------------------------------------------


def sample(p, solver, count, weights=None, seeded=False):
    """Outcome counts of `count` solves (or runs with the seeds 0, 1, ...); one
    result of every distinct outcome goes through check_result."""
    counts = Counter()
    for k in range(count):
        result = solver.run(p.task, seed=k) if seeded else solver.solve(p.task)
        key = outcome_key(*result[:2])
        if key not in counts:
            check_result(p, result, weights)
        counts[key] += 1
    return counts


def _binomial_divergence(q, p):
    """Kullback-Leibler divergence of Bernoulli(q) from Bernoulli(p)."""

    def term(a, b):
        if a == 0.0:
            return 0.0
        if b <= 0.0:
            return math.inf
        return a * math.log(a / b)

    return term(q, p) + term(1.0 - q, 1.0 - p)


def assert_frequencies(counts, expected, total, bound=27.0):
    """Each outcome's count must agree with its probability: by the Chernoff
    bound a count is refused with probability below 2 * exp(-bound) (about
    4e-12) when the probabilities are right. An outcome of probability 0 may
    never occur."""
    problems = []
    for key in set(counts) | set(expected):
        prob = min(max(expected.get(key, 0.0), 0.0), 1.0)
        seen = counts.get(key, 0)
        if total * _binomial_divergence(seen / total, prob) > bound:
            x = np.frombuffer(key[0], dtype=np.int64)
            problems.append(f"x={x.tolist()} value={key[1]!r}: seen {seen}, expected {prob * total:.1f}")
    assert not problems, "\n".join(problems)


def assert_cell_frequencies(counts, expected, total, bound=27.0):
    """Like assert_frequencies, for how often each cell is in the result."""

    def per_cell(distribution):
        frequency = 0.0
        for (x, _), weight in distribution.items():
            frequency = frequency + np.frombuffer(x, dtype=np.int64) * weight
        return frequency

    seen, prob = per_cell(counts), per_cell(expected)
    problems = [
        f"cell {k}: seen {seen[k]:.0f}, expected {prob[k] * total:.1f}"
        for k in range(len(prob))
        if total * _binomial_divergence(seen[k] / total, min(max(prob[k], 0.0), 1.0)) > bound
    ]
    assert not problems, "\n".join(problems)


# --- processes and reports --------------------------------------------------------


def run_python(code, timeout, env_update=None, options=()):
    """Runs `code` in a fresh interpreter (so that a crash or a hang cannot
    take the test session with it) and returns the completed process."""
    env = dict(os.environ)
    env.update(env_update or {})
    return subprocess.run(
        [sys.executable, *options, "-c", code], capture_output=True, text=True, timeout=timeout, env=env
    )


class _Report:
    """Figures the robustness tests measure (cases run, memory deltas,
    latencies), printed in pytest's terminal summary."""

    sections = {}

    def pytest_terminal_summary(self, terminalreporter):
        for title, lines in self.sections.items():
            terminalreporter.write_sep("-", title)
            for line in lines:
                terminalreporter.write_line(line)


def report(config, title, line):
    """Adds a line to the section `title` of the terminal summary."""
    manager = config.pluginmanager
    if not manager.has_plugin("allotra-robustness-report"):
        manager.register(_Report(), "allotra-robustness-report")
    _Report.sections.setdefault(title, []).append(line)
