"""Results of both solvers: what every result must satisfy, the cases in which
nothing can be gained, the exact budget, and the failures of non-finite
weights."""

import numpy as np
import pytest

from support import Ant as A
from support import INT64_MAX, ant_weights, check_result, density, is_non_finite, problem, random_problem
from support import Prob as P


def probabilistic_weights(p):
    return density(p.c, p.b, p.omega)


def first_ant_weights(alpha=1.0, beta=2.0):
    return lambda p: ant_weights(p, 1.0, alpha, beta)


# (solver, weights of a construction for the maximality check, or None when
# the returned selection need not be maximal for the task's own weights)
SOLVERS = {
    "probabilistic-1": (P(1), probabilistic_weights),
    "probabilistic-40": (P(kmax=40), probabilistic_weights),  # the best construction is maximal too
    "ant-1x1": (A(num_ants=1, kmax=1), first_ant_weights()),
    "ant-1x1-beta0": (A(1, 1, 1.0, 0.0), first_ant_weights(beta=0.0)),
    "ant-4x6": (A(num_ants=4, kmax=6), None),
    "ant-3x4-varied": (A(3, 4, alpha=0.5, beta=1.0, rho=0.5, initial_pheromone=2.0), None),
}

# layouts of (c, b_ij, omega); the objective adds up column by column for
# the second to fifth, row by row for the others
LAYOUTS = [
    ("C", "C", "C"),
    ("F", "F", "F"),
    ("T", "C", "T"),
    ("F", "C", "cols_reversed_F"),
    ("cols_reversed_F", "F", "F"),
    ("rows_reversed", "stepped", "F"),
    ("both_reversed", "F", "F"),
    ("stepped", "T", "F"),
]

SHAPES = [(1, 1), (1, 6), (5, 1), (2, 3), (4, 4), (6, 9)]


@pytest.mark.parametrize("layouts", LAYOUTS, ids="-".join)
@pytest.mark.parametrize("name", SOLVERS)
def test_every_result_is_a_feasible_selection_with_its_exact_value(name, layouts):
    solver, weight = SOLVERS[name]
    rng = np.random.default_rng([list(SOLVERS).index(name), LAYOUTS.index(layouts)])
    for kind in ("small", "signed", "huge"):
        for m, n in SHAPES:
            for _ in range(2):
                p = random_problem(rng, m, n, kind, layouts)
                check_result(p, solver.solve(p.task), weight and weight(p))


def zeros(shape):
    return np.zeros(shape, dtype=np.int64)


GOOD = problem([[3, 5], [2, 7]], [[1, 2], [3, 4]], 6, zeros((2, 2)) + 0.25)

NOTHING_TO_GAIN = {
    "empty-rows": problem(zeros((0, 3)), zeros((0, 3)), 5, np.zeros((0, 3))),
    "empty-cols": problem(zeros((3, 0)), zeros((3, 0)), 5, np.zeros((3, 0))),
    "empty": problem(zeros((0, 0)), zeros((0, 0)), 1, np.zeros((0, 0))),
    "nothing-fits": problem([[3, 5], [2, 7]], [[4, 5], [9, 4]], 3, zeros((2, 2)) + 0.5),
    # cells of positive weight (both negative) are chosen but lose value; the
    # b_ij add up to more than 0, so the colony's deposit scale is +0.0 and
    # losing ants deposit -inf
    "no-positive-value": problem([[-3, 0, -1], [0, -4, -2]], [[-1, 2, -5], [1, -2, 8]], 4,
                                 [[0.0, 0.5, 0.0], [0.0, 0.25, 0.0]]),
    "no-consumption": problem([[3, 5], [2, 7]], zeros((2, 2)), 1, zeros((2, 2)) + 0.0),
    "worthless": problem([[0, 4], [4, 0]], [[1, 1], [1, 1]], 4, [[0.0, 1.0], [1.0, 0.0]]),
}


def assert_zero_result(p, result):
    x, value = check_result(p, result)
    assert value == 0.0 and not x.any()


@pytest.mark.parametrize("solver", [P(10), A(4, 5)], ids=["probabilistic", "ant"])
@pytest.mark.parametrize("case", NOTHING_TO_GAIN)
def test_nothing_to_gain_gives_zeros(case, solver):
    p = NOTHING_TO_GAIN[case]
    for _ in range(5):
        assert_zero_result(p, solver.solve(p.task))


@pytest.mark.parametrize(
    "solver", [P(0), A(num_ants=0), A(kmax=0), A(0, 0)], ids=["kmax0", "ants0", "ant-kmax0", "both0"]
)
def test_no_construction_gives_zeros(solver):
    assert_zero_result(GOOD, solver.solve(GOOD.task))


def test_cells_without_consumption_are_taken_only_without_heuristic():
    p = problem([[3, 5, 1], [2, 7, 4]], zeros((2, 3)), 1, [[0.0, 0.5, 0.25], [0.0, 1.0, 0.0]])
    for _ in range(5):
        x, value = check_result(p, A(num_ants=2, kmax=3, beta=0.0).solve(p.task))
        # every cell weighs tau**alpha = 1 and fits, so every ant takes all
        assert x.all() and value == 3 + 2.5 + 0.75 + 2 + 4
        assert_zero_result(p, A(num_ants=2, kmax=3).solve(p.task))
        assert_zero_result(p, P(10).solve(p.task))


def test_a_nan_value_never_wins():
    # without heuristic every ant takes every cell, NaN discount included
    p = problem([[3, 5], [2, 7]], zeros((2, 2)), 1, [[0.0, np.nan], [0.0, 0.0]])
    for _ in range(5):
        assert_zero_result(p, A(num_ants=3, kmax=2, beta=0.0).solve(p.task))


@pytest.mark.parametrize("solver", [P(3), A(2, 2)], ids=["probabilistic", "ant"])
def test_result_array_is_new(solver):
    first, _ = solver.solve(GOOD.task)
    second, _ = solver.solve(GOOD.task)
    assert not np.shares_memory(first, second)
    first[...] = 7
    second[...] = -1
    for _ in range(3):
        x, value = check_result(GOOD, solver.solve(GOOD.task))
        assert value > 0.0


BIG = 2**62

# (c, b_ij, b_total, number of cells every result chooses)
HUGE_BUDGETS = {
    "pairs-exceed": ([[1, 2, 3]], [[BIG, BIG, BIG]], INT64_MAX, 1),
    "one-past-max": ([[5, 7]], [[INT64_MAX, 1]], INT64_MAX, 1),
    # together the two negative cells lower `used` by 2**64, after which four
    # of the five positive cells fit, and nothing more
    "below-min": ([[-1, -1, 2**40, 2**40, 2**40, 2**40, 2**40]],
                  [[-(2**63), -(2**63), BIG, BIG, BIG, BIG, BIG]], 1, 6),
}


@pytest.mark.parametrize("solver", [P(1), P(20), A(1, 1), A(4, 3)], ids=["p1", "p20", "ant1", "ant4x3"])
@pytest.mark.parametrize("case", HUGE_BUDGETS)
def test_budget_is_judged_exactly_for_huge_amounts(case, solver):
    c, b, b_total, chosen = HUGE_BUDGETS[case]
    p = problem(c, b, b_total, np.zeros(np.shape(c)))
    for _ in range(30):
        x, value = check_result(p, solver.solve(p.task))
        assert x.sum() == chosen and value > 0.0


def raises_non_finite(solver, p):
    try:
        solver.solve(p.task)
    except Exception as error:  # must not catch it
        pytest.fail(f"an ordinary exception: {error!r}")
    except BaseException as error:
        assert is_non_finite(error), repr(error)
    else:
        pytest.fail("no failure")


ZERO_CONSUMPTION_CELL = problem([[3, 5, 2]], [[2, 0, 1]], 4, np.zeros((1, 3)))
POSITIVE_CELLS = problem([[3, 5], [2, 7]], [[1, 2], [3, 4]], 6, zeros((2, 2)) + 0.5)


@pytest.mark.parametrize("num_ants", [1, 8])
@pytest.mark.parametrize(
    "parameters, p",
    [
        (dict(beta=-1.0), ZERO_CONSUMPTION_CELL),  # eta = 0 -> pow(0, -1)
        (dict(alpha=2.0, initial_pheromone=1e200), POSITIVE_CELLS),  # pow(1e200, 2)
        (dict(alpha=-1.0, initial_pheromone=0.0), POSITIVE_CELLS),  # pow(0, -1)
        (dict(beta=400.0), problem([[10**6]], [[1]], 1, [[0.0]])),  # pow(1e6, 400)
        # two finite weights of 1e308 add up to +inf
        (dict(initial_pheromone=1e308), problem([[1, 1]], [[1, 1]], 1, np.zeros((1, 2)))),
    ],
    ids=["beta-1", "tau-overflow", "tau0-alpha-1", "eta-overflow", "sum-overflow"],
)
def test_infinite_weight_fails_the_call(parameters, p, num_ants):
    solver = A(num_ants=num_ants, kmax=3, **parameters)
    raises_non_finite(solver, p)
    # the pool is still usable afterwards
    check_result(POSITIVE_CELLS, A(num_ants=num_ants, kmax=3).solve(POSITIVE_CELLS.task))


@pytest.mark.parametrize(
    "parameters, p, value",
    [
        # the cells of positive eta never fit; the fitting ones have eta = 0
        # and weigh inf * 0 = NaN, which is skipped
        (dict(alpha=2.0, initial_pheromone=1e200),
         problem([[5, 3, 0], [4, 6, 2]], [[0, 9, 1], [7, 0, 8]], 5, np.zeros((2, 3))), 0.0),
        # a weight of 1e308 alone is finite
        (dict(initial_pheromone=1e308), problem([[1, 1]], [[1, 5]], 1, np.zeros((1, 2))), 1.0),
        # no positive c and a negative sum of b_ij: (10 / -5) * 0 is a zero
        # deposit scale, so the ant's value of -93 deposits -inf (never +inf,
        # which would make the next iteration's total weight infinite)
        (dict(), problem([[-93]], [[-5]], 10, [[0.0]]), 0.0),
    ],
    ids=["infinite-never-fits", "huge-alone", "zero-scale-negative-value"],
)
def test_weights_that_never_add_up_to_infinity_are_harmless(parameters, p, value):
    for num_ants in (1, 8):
        assert check_result(p, A(num_ants=num_ants, kmax=3, **parameters).solve(p.task))[1] == value


@pytest.mark.parametrize("rho, fails", [(1.0, True), (0.5, False), (0.0, False)])
def test_full_evaporation_leaves_no_pheromone_on_unchosen_cells(rho, fails):
    # only one of the two cells fits at a time, and the first ant takes one;
    # with rho = 1 the other keeps tau = 0, which weighs pow(0, -1) = inf in
    # the next iteration
    p = problem([[1, 1]], [[1, 1]], 1, np.zeros((1, 2)))
    solver = A(num_ants=1, kmax=2, alpha=-1.0, rho=rho)
    for _ in range(5):
        if fails:
            raises_non_finite(solver, p)
        else:
            check_result(p, solver.solve(p.task))
    check_result(p, A(num_ants=1, kmax=1, alpha=-1.0, rho=rho).solve(p.task))
