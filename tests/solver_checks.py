"""Shared helpers of the solver tests: tasks in chosen memory layouts, the
objective in the solvers' visiting order, the checks every result must pass,
and exact outcome distributions of tiny tasks for the statistical tests."""

from collections import Counter, defaultdict
from dataclasses import dataclass
import math

import numpy as np

import allotra

INT64_MAX = 2**63 - 1


# --- IEEE arithmetic as the native code does it ----------------------------

def ieee_div(a, b):
    """a / b in float64 with infinities and NaN instead of exceptions."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def c_pow(x, y):
    """pow(x, y) of the C library, with its infinities and NaN."""
    with np.errstate(all="ignore"):
        return float(np.power(np.float64(x), np.float64(y)))


# --- tasks and their layouts ------------------------------------------------

def arrange(a, layout):
    """The same values as `a`, laid out in memory as `layout` says."""
    a = np.asarray(a)
    if layout == "C":
        return np.ascontiguousarray(a)
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "T":  # a transposed view of a row-major array
        return np.ascontiguousarray(a.T).T
    if layout == "rows_reversed":
        return np.ascontiguousarray(a[::-1])[::-1]
    if layout == "cols_reversed_F":
        return np.asfortranarray(a[:, ::-1])[:, ::-1]
    if layout == "both_reversed":
        return np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    if layout == "strided":  # not one gap-free block
        big = np.zeros((a.shape[0], 2 * a.shape[1]), dtype=a.dtype)
        big[:, 1::2] = a
        return big[:, 1::2]
    raise ValueError(layout)


def kept_strides(a):
    """Element strides of the Task's copy of `a`: a gap-free block keeps the
    source's strides, anything else is copied row-major."""
    m, n = a.shape
    sr, sc = (s // a.itemsize for s in a.strides)
    if (abs(sc) == 1 or n <= 1) and (abs(sr) == n or m <= 1):
        return sr, sc
    if (abs(sr) == 1 or m <= 1) and (abs(sc) == m or n <= 1):
        return sr, sc
    return n, 1


def layout_score(a):
    m, n = a.shape
    sr, sc = kept_strides(a)
    if (sr, sc) == (n, 1):
        return 2
    if (sr, sc) == (1, m):
        return -2
    if sr == 1:
        return -1
    if sc == 1:
        return 1
    return 0


def visits_by_column(c, omega):
    m, n = c.shape
    return m >= 2 and n >= 2 and 2 + layout_score(c) + layout_score(omega) < 0


@dataclass
class Problem:
    """A Task together with the values it was built from."""

    task: allotra.Task
    c: np.ndarray
    b: np.ndarray
    b_total: int
    omega: np.ndarray
    by_column: bool

    @property
    def shape(self):
        return self.c.shape


def problem(c, b, b_total, omega, layouts=("C", "C", "C")):
    c = arrange(np.asarray(c, dtype=np.int64), layouts[0])
    b = arrange(np.asarray(b, dtype=np.int64), layouts[1])
    omega = arrange(np.asarray(omega, dtype=np.float64), layouts[2])
    m, n = c.shape
    task = allotra.Task(m, n, c, b, b_total, omega)
    return Problem(task, c, b, int(b_total), omega, visits_by_column(c, omega))


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
    elif kind == "huge":
        c = rng.integers(-(2**62), 2**62, shape) >> rng.integers(0, 62, shape)
        b = rng.integers(-(2**60), 2**62, shape) >> rng.integers(0, 4, shape)
        b_total = int(rng.integers(2**60, INT64_MAX, endpoint=True))
    else:
        raise ValueError(kind)
    if kind != "small" and m * n and c.max() <= 0:
        # keep the colony's deposit scale away from 0 (whose deposits of
        # +-inf would make a later weight infinite)
        c.flat[rng.integers(m * n)] = 7
    return problem(c.astype(np.int64), b.astype(np.int64), b_total, omega, layouts)


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


# --- objective, weights and result checks -------------------------------------

def cells_in_order(m, n, by_column):
    if by_column:
        return [(i, j) for j in range(n) for i in range(m)]
    return [(i, j) for i in range(m) for j in range(n)]


def objective(p, x):
    """Sum of c * (1 - omega) over the cells with x == 1, in the solvers'
    visiting order, in plain float64 arithmetic."""
    total = 0.0
    for i, j in cells_in_order(*p.shape, p.by_column):
        if x[i][j] == 1:
            total = total + float(int(p.c[i, j])) * (1.0 - float(p.omega[i, j]))
    return total


def density(p, i, j):
    """Selection weight of a probabilistic construction: value per resource."""
    b = int(p.b[i, j])
    if b == 0:
        return 0.0
    return ieee_div((1.0 - float(p.omega[i, j])) * float(int(p.c[i, j])), float(b))


def ant_weight(p, i, j, tau, alpha, beta):
    return c_pow(tau, alpha) * c_pow(density(p, i, j), beta)


def check_result(p, result, weight=None):
    """Checks what holds for every result of either solver; with `weight`
    (a function of (i, j)) also that a selection of positive value is
    maximal: no free cell of positive weight still fits. Returns (x, value)."""
    assert type(result) is tuple and len(result) == 2
    x, value = result
    m, n = p.shape
    assert type(x) is np.ndarray and x.dtype == np.int64 and x.shape == (m, n)
    assert x.flags.c_contiguous and x.flags.writeable and x.flags.owndata
    assert type(value) is float
    assert set(np.unique(x).tolist()) <= {0, 1}, x
    chosen = [(i, j) for i in range(m) for j in range(n) if x[i, j] == 1]
    used = sum(int(p.b[i, j]) for i, j in chosen)
    assert used <= p.b_total, (chosen, used, p.b_total)
    assert value == objective(p, x), (value, objective(p, x), x)
    assert value >= 0.0
    if value == 0.0:
        assert not x.any(), x
    elif weight is not None:
        for i in range(m):
            for j in range(n):
                if x[i, j] == 0 and used + int(p.b[i, j]) <= p.b_total:
                    assert not weight(i, j) > 0.0, ("not maximal", (i, j), x)
    return x, value


# --- exact distributions of tiny tasks ------------------------------------------

def selection_distribution(p, weight):
    """Exact probability of every final selection (a frozenset of row-major
    cell numbers) of one construction that draws, at each step, one free cell
    that fits the remaining budget and has a weight above 0, in proportion to
    that weight. Selections of equal size are expanded together, so a set
    reached in several orders is expanded once."""
    m, n = p.shape
    b = [int(v) for v in p.b.ravel()]
    w = [weight(k // n, k % n) for k in range(m * n)]
    drawable = [k for k in range(m * n) if w[k] > 0.0]
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
    m, n = p.shape
    x = np.zeros((m, n), dtype=np.int64)
    for k in selection:
        x[k // n, k % n] = 1
    return x


def outcome_key(x, value):
    return (np.asarray(x, dtype=np.int64).tobytes(), value)


def outcome_distribution(p, weight):
    """Probability of every (matrix, value) result of a solve that runs one
    construction: the construction's selection when its value is above 0.0,
    the zero matrix and 0.0 otherwise."""
    zero = outcome_key(np.zeros(p.shape, dtype=np.int64), 0.0)
    out = defaultdict(float)
    for selection, prob in selection_distribution(p, weight).items():
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


def deposit_scale(p):
    m, n = p.shape
    mean = ieee_div(float(int(p.b.sum(dtype=object))), float(m * n))
    ratio = ieee_div(float(p.b_total), mean)
    top = max(0, max(int(v) for v in p.c.ravel()))
    return ratio * float(top)


def colony_distribution(p, num_ants, kmax, alpha, beta, rho, initial_pheromone):
    """Exact distribution of the (matrix, value) result of the ant colony
    solver on a tiny task, following every iteration's pheromone update."""
    m, n = p.shape
    zero = outcome_key(np.zeros((m, n), dtype=np.int64), 0.0)
    scale = deposit_scale(p)
    states = {((initial_pheromone,) * (m * n), zero): 1.0}
    for _ in range(kmax):
        following = defaultdict(float)
        for (tau, best), prob in states.items():
            single = selection_distribution(p, lambda i, j: ant_weight(p, i, j, tau[i * n + j], alpha, beta))
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

def sample(p, solver, count, weight=None):
    """Outcome counts of `count` solves; one result of every distinct outcome
    goes through check_result."""
    counts = Counter()
    for _ in range(count):
        result = solver.solve(p.task)
        key = outcome_key(*result)
        if key not in counts:
            check_result(p, result, weight)
        counts[key] += 1
    return counts


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
        statistic = total * _binomial_divergence(seen / total, prob)
        if statistic > bound:
            x = np.frombuffer(key[0], dtype=np.int64)
            problems.append(f"x={x.tolist()} value={key[1]!r}: seen {seen}, expected {prob * total:.1f}")
    assert not problems, "\n".join(problems)
