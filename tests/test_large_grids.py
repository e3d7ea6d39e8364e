"""Solves above every size at which the constructions change method: races of
more than 64 cells are binned instead of sorted (into up to 4096 bins), races
of more than 65,536 cells read their keys again instead of keeping them,
random values come in
slices of 2048, the per-cell passes run in chunks of 16384 on the pool, and
per-cell arrays of 2 MiB or more (262144 cells) sit on large pages. Races of
16,384 cells or more whose amounts take few values, at a small budget,
sample only the cells whose keys can matter (grouped in pieces of 65,536
cells). The grids here are above those sizes and not multiples of them, so
a last partial slice or chunk is always there."""

import numpy as np
import pytest

import allotra
from support import Ant, Prob, density, problem

GRIDS = [(65, 67), (130, 131), (301, 299)]


def uncorrelated(rng, m, n, share, layouts=("C", "C", "C"), amounts=100):
    c = rng.integers(1, 101, size=(m, n))
    b = rng.integers(1, amounts + 1, size=(m, n))
    omega = rng.uniform(0.0, 0.3, size=(m, n))
    return problem(c, b, max(1, int(b.sum() * share)), omega, layouts)


def check_large(p, result, weights):
    """The invariants of every result, checked with array arithmetic: 0/1,
    budget kept, no free cell of positive weight still fits, and the value
    recomputed in the objective's order (cumsum adds one term after another)."""
    x, value = result
    assert x.shape == p.shape and x.dtype == np.int64 and np.isin(x, (0, 1)).all()
    chosen = x == 1
    used = int(p.b[chosen].astype(object).sum())
    assert used <= p.b_total
    free_fitting = ~chosen & (weights > 0.0) & (p.b.astype(object) + used <= p.b_total)
    assert not free_fitting.any(), np.argwhere(free_fitting)[:5]
    order = (lambda a: a.T) if p.by_column else (lambda a: a)
    terms = order(p.c.astype(np.float64) * (1.0 - p.omega))[order(chosen)]
    assert value == (float(np.cumsum(terms)[-1]) if terms.size else 0.0)
    return chosen


@pytest.mark.parametrize("m, n", GRIDS)
@pytest.mark.parametrize("share", [0.1, 0.5])
@pytest.mark.parametrize("layouts", [("C", "C", "C"), ("F", "C", "F")])
@pytest.mark.parametrize("amounts", [100, 8])
def test_results_keep_every_invariant(m, n, share, layouts, amounts):
    rng = np.random.default_rng()
    p = uncorrelated(rng, m, n, share, layouts, amounts)
    weights = density(p.c, p.b, p.omega)
    check_large(p, Prob(kmax=3).solve(p.task), weights)
    # The colony's weights at its first iteration are eta squared; later
    # ones differ, but every cell with eta > 0 keeps a positive weight.
    check_large(p, Ant(num_ants=3, kmax=2).solve(p.task), weights)


@pytest.mark.parametrize("m, n", GRIDS + [(520, 521)])
def test_everything_that_fits_together_is_chosen(m, n):
    rng = np.random.default_rng()
    c = rng.integers(0, 50, size=(m, n))  # c = 0 weighs 0
    b = rng.integers(0, 5, size=(m, n))  # b = 0 weighs 0
    p = problem(c, b, int(b.sum()), np.zeros((m, n)))
    drawable = density(p.c, p.b, p.omega) > 0.0
    for solver in (Prob(kmax=2), Ant(num_ants=2, kmax=2)):
        x, _ = solver.solve(p.task)
        assert np.array_equal(x == 1, drawable)


@pytest.mark.parametrize("solver", [Prob(kmax=2), Ant(num_ants=2, kmax=2)], ids=["probabilistic", "ant"])
def test_freed_budget_lets_skipped_cells_back_on_a_large_grid(solver):
    # No cell of b = 5 fits the budget of 3 until a cell of b = -100 (and a
    # small negative value) is chosen; then about twenty of them fit.
    m, n = 150, 151
    c = np.full((m, n), 1000)
    b = np.full((m, n), 5)
    c[::37, ::41], b[::37, ::41] = -1, -100
    p = problem(c, b, 3, np.zeros((m, n)))
    weights = density(p.c, p.b, p.omega)
    chosen = check_large(p, solver.solve(p.task), weights)
    assert (chosen & (p.b == 5)).any()


def test_first_draw_law_on_a_grid_of_more_than_100000_cells():
    # The budget takes exactly one cell. The first and the last cell (in the
    # last partial slice and chunk) each weigh as much as all others together.
    m, n = 321, 319
    rest = m * n - 2
    c = np.ones((m, n), dtype=np.int64)
    c[0, 0] = c[-1, -1] = rest
    p = problem(c, np.ones((m, n)), 1, np.zeros((m, n)))
    solver = Prob(kmax=1)
    solves = 1200
    counts = [0, 0]
    for _ in range(solves):
        x, _ = solver.solve(p.task)
        assert x.sum() == 1
        counts[0] += int(x[0, 0])
        counts[1] += int(x[-1, -1])
    # Each heavy cell is drawn with probability 1/3: 400 +- 16 expected, and
    # 300 or 500 is more than 6 standard deviations away.
    assert all(abs(k - solves / 3) < 100 for k in counts), counts
