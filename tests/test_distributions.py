"""Frequencies of the solvers' results on tiny tasks against their exact
probabilities, enumerated over every sequence of weighted draws.

Each test runs tens of thousands of solves; an outcome is refused only when
its count is off by far more than chance allows (about 7 standard deviations,
a false alarm below 1e-11 per outcome)."""

import numpy as np
import pytest

from support import Ant as A
from support import (
    INT64_MAX,
    ant_weights,
    assert_cell_frequencies,
    assert_frequencies,
    best_of,
    colony_distribution,
    density,
    outcome_distribution,
    padded,
    problem,
    sample,
)
from support import Prob as P

SOLVES = 40_000

TINY = {
    # 1 + 4 and 2 + 3 use up the budget of 5 exactly
    "exact-fit": problem([[3, 5], [2, 7]], [[1, 2], [3, 4]], 5, np.zeros((2, 2))),
    # (0, 1) lowers `used` by 2, after which (1, 0) fits exactly; (1, 1)
    # consumes nothing and so weighs 0; (1, 2) has a negative value density;
    # choosing (0, 1) with (0, 2) loses value, so those runs return zeros
    "negative-consumption": problem(
        [[6, -5, 4], [9, 5, 3]], [[4, -2, 3], [6, 0, -1]], 4, [[0.0, 0.0, 0.5], [0.25, 0.0, 0.0]]
    ),
    # any two cells exceed the budget, though their sum wraps below it in
    # 64-bit arithmetic
    "huge-consumption": problem([[1, 2, 3]], [[2**62, 2**62, 2**62]], INT64_MAX - 1, np.zeros((1, 3))),
}
# the same outcomes on a larger grid
TASKS = {**TINY, **{name + "-padded": padded(p) for name, p in TINY.items()}}


def wide_task():
    """72 cells of which two or three fit together, many with equal b_ij; one
    of negative b_ij and value, one of negative value density, one without
    consumption."""
    rng = np.random.default_rng(7)
    c = rng.integers(1, 30, (6, 12))
    b = rng.integers(5, 13, (6, 12))
    omega = rng.random((6, 12))
    omega[rng.random((6, 12)) < 0.3] = 0.0
    c[0, 3], b[0, 3] = -2, -3
    c[3, 7], b[3, 7] = 9, 0
    c[5, 10], b[5, 10] = 4, -1
    return problem(c, b, 12, omega)


WIDE = wide_task()


@pytest.mark.parametrize("kmax", [1, 6])
@pytest.mark.parametrize("task", TASKS)
def test_probabilistic_solver(task, kmax):
    p = TASKS[task]
    weights = density(p.c, p.b, p.omega)
    counts = sample(p, P(kmax), SOLVES, weights)
    assert_frequencies(counts, best_of(outcome_distribution(p, weights), kmax), SOLVES)


# (alpha, beta, initial_pheromone)
ANT_PARAMETERS = [
    (1.0, 2.0, 1.0),  # the defaults: a negative value density counts
    (0.0, 1.0, 3.0),  # the probabilistic construction's weights
    (2.0, 0.5, 0.5),  # a negative value density weighs NaN
    (1.0, 0.0, 2.0),  # every cell that fits weighs the same, zero density too
    (1.0, 3.0, 1.0),  # a negative value density weighs less than 0
    (0.0, 2.0, float("nan")),  # pow(NaN, 0) = 1
]


@pytest.mark.parametrize("alpha, beta, tau", ANT_PARAMETERS)
@pytest.mark.parametrize("task", TASKS)
def test_one_ant(task, alpha, beta, tau):
    p = TASKS[task]
    solver = A(num_ants=1, kmax=1, alpha=alpha, beta=beta, initial_pheromone=tau)
    weights = ant_weights(p, tau, alpha, beta)
    counts = sample(p, solver, SOLVES, weights)
    assert_frequencies(counts, outcome_distribution(p, weights), SOLVES)


@pytest.mark.parametrize(
    "solver, weights",
    [
        (P(1), density(WIDE.c, WIDE.b, WIDE.omega)),
        (A(1, 1), ant_weights(WIDE, 1.0, 1.0, 2.0)),
        (A(1, 1, 1.0, 1.0, initial_pheromone=0.5), ant_weights(WIDE, 0.5, 1.0, 1.0)),
    ],
    ids=["probabilistic", "ant", "ant-beta1"],
)
@pytest.mark.parametrize("seeded", [False, True], ids=["solve", "runs with seeds 0, 1, ..."])
def test_one_construction_among_many_cells(solver, weights, seeded):
    counts = sample(WIDE, solver, SOLVES, weights, seeded)
    expected = outcome_distribution(WIDE, weights)
    assert_frequencies(counts, expected, SOLVES)
    assert_cell_frequencies(counts, expected, SOLVES)


@pytest.mark.parametrize("task", TASKS)
def test_best_ant_of_one_iteration(task):
    p = TASKS[task]
    counts = sample(p, A(num_ants=5, kmax=1), SOLVES // 2)
    assert_frequencies(counts, best_of(outcome_distribution(p, ant_weights(p, 1.0, 1.0, 2.0)), 5), SOLVES // 2)


EXCLUSIVE = problem([[1, 2, 3]], [[1, 1, 1]], 1, np.zeros((1, 3)))

# Later iterations draw by the pheromone that earlier ones left, so the
# frequencies of the best result follow from evaporation and deposit.
# (task, num_ants, kmax, alpha, beta, rho)
COLONIES = {
    # deposit scale 3: a chosen cell ends at 0.1 + value / 3, the others at 0.1
    "two-ants": (EXCLUSIVE, 2, 2, 1.0, 0.0, 0.9),
    "three-iterations": (EXCLUSIVE, 1, 3, 1.0, 0.0, 0.5),
    # an ant of value -4 lowers tau below 0, which takes its cell out
    "losing-ant": (problem([[-4, 2, 3]], [[1, 1, 1]], 1, np.zeros((1, 3))), 2, 2, 1.0, 0.0, 0.3),
    # the deposit scale sums the consumptions exactly: (2**63 - 2) / 2**62 * 3
    "huge-consumption": (TASKS["huge-consumption"], 1, 2, 1.0, 0.0, 0.9),
    "huge-consumption-heuristic": (TASKS["huge-consumption"], 2, 2, 1.0, 2.0, 0.5),
}
COLONIES.update({name + "-padded": (padded(p), *rest) for name, (p, *rest) in COLONIES.items()})


@pytest.mark.parametrize("colony", COLONIES)
def test_pheromone_update(colony):
    p, num_ants, kmax, alpha, beta, rho = COLONIES[colony]
    solver = A(num_ants=num_ants, kmax=kmax, alpha=alpha, beta=beta, rho=rho)
    counts = sample(p, solver, SOLVES)
    expected = colony_distribution(p, num_ants, kmax, alpha, beta, rho, 1.0)
    assert_frequencies(counts, expected, SOLVES)
