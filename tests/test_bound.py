"""RunResult.bound: the optimum of the continuous relaxation, against an
exact rational computation, on every kind of task Task accepts; never below
it, above it by no more than rounding."""

import numpy as np
import pytest

import allotra
from support import INT64_MAX, INT64_MIN, Ant, Prob, check_result, problem, random_problem, relaxation_optimum
from support import bound_allowance

# 64 x 600 cells: the pass samples the cells first, in several chunks.
SAMPLED = (64, 600)


def assert_bound(p, solver=None):
    result = (solver or Prob(kmax=3)).run(p.task, seed=1)
    check_result(p, result)
    exact = relaxation_optimum(p)
    assert exact <= result.bound <= exact + bound_allowance(p), (float(exact), result.bound)
    return result.bound


def sampled_task(rng, c_of, discounted=True, budget_share=0.3):
    b = rng.integers(1, 100, SAMPLED)
    omega = rng.random(SAMPLED) * 0.4 if discounted else np.zeros(SAMPLED)
    return problem(c_of(b), b, int(b.sum() * budget_share), omega)


@pytest.mark.parametrize("kind", ["small", "signed", "huge"])
def test_bound_is_the_relaxation_of_random_small_grids(kind):
    """signed: negative and zero amounts and values, NaN and 1.0 discounts;
    huge: values and amounts up to 2**62, budgets up to 2**63 - 1."""
    rng = np.random.default_rng(["small", "signed", "huge"].index(kind))
    for m, n in [(1, 1), (2, 3), (4, 4), (6, 9), (13, 11)]:
        for _ in range(6):
            assert_bound(random_problem(rng, m, n, kind))


EXTREMES = {
    # amounts near the ends of int64: the room is summed exactly
    "amounts at INT64_MIN and INT64_MAX": problem(
        [[-3, 2**62, 5], [-(2**62), 7, 1]], [[INT64_MIN, INT64_MAX, 2**62], [-(2**62), INT64_MAX - 1, 3]],
        INT64_MAX, [[0.0, 0.5, 0.0], [0.25, 0.0, 1.0]]),
    "values near 2**62, fractional cell": problem(
        [[2**62, 2**62 - 1, 3 * 2**60], [2**61, 5, 2**62]], [[2**61, 2**61 + 1, 2**60], [3, 7, 2**62 - 1]],
        2**62 + 12345, [[0.125, 0.0, 0.5], [0.0, 0.0, 0.75]]),
    "budget past everything": problem([[8, 3, 5], [6, 9, 2]], [[4, 1, 3], [3, 5, 1]], INT64_MAX,
                                      [[0.0, 0.1, 0.0], [0.25, 0.0, 0.5]]),
    # cells that give budget back: taken first, then a negative value given up in part
    "budget given back": problem([[-4, 10, 6], [-9, 3, 0]], [[-6, 8, 5], [-2, 4, 0]], 1,
                                 [[0.0, 0.0, 0.0], [0.5, 0.0, 0.0]]),
    "zero amounts and NaN discounts": problem([[5, 7, -2], [4, 9, 3]], [[0, 0, 0], [2, 3, 1]], 2,
                                              [[0.2, np.nan, 0.0], [np.nan, 0.5, 1.0]]),
    "no positive value": problem([[-3, 0], [4, -1]], [[1, 2], [-5, 3]], 3, [[0.0, 0.5], [1.0, 0.0]]),
    "only NaN": problem([[3, 4]], [[1, 1]], 5, [[np.nan, np.nan]]),
}


@pytest.mark.parametrize("case", EXTREMES)
def test_bound_on_extreme_tasks(case):
    p = EXTREMES[case]
    bound = assert_bound(p)
    assert bound == assert_bound(p, Ant(num_ants=2, kmax=2))


def test_bound_of_an_empty_grid_and_a_worthless_one():
    for shape in [(0, 4), (3, 0)]:
        assert Prob().run(problem(np.zeros(shape), np.zeros(shape), 5, np.zeros(shape)).task).bound == 0.0
    worthless = problem([[-3, 0], [2, 5]], [[1, 1], [1, 1]], 5, [[0.0, 0.0], [1.0, 1.0]])
    # cells that give budget back at a loss: taken, then given up again
    losing = problem([[-3, -1], [-7, -2]], [[-2, -4], [-1, -9]], 1, [[0.0, 0.5], [0.25, 0.0]])
    assert Prob().run(worthless.task).bound == Prob().run(losing.task).bound == 0.0


@pytest.mark.parametrize(
    "family",
    [
        "uncorrelated",
        "strongly correlated",  # a hundred densities, each shared by many cells
        "one density",  # the budget runs out among cells of one density
        "misleading sample",  # the sample's cells are denser than the rest
        "giving back",  # negative amounts and values among the sampled cells
    ],
)
@pytest.mark.parametrize("budget_share", [0.02, 0.3, 0.97])
def test_bound_on_grids_large_enough_to_sample(family, budget_share):
    rng = np.random.default_rng([round(budget_share * 100), len(family)])
    if family == "uncorrelated":
        p = sampled_task(rng, lambda b: rng.integers(1, 100, SAMPLED), budget_share=budget_share)
    elif family == "strongly correlated":
        p = sampled_task(rng, lambda b: b + 10, discounted=False, budget_share=budget_share)
    elif family == "one density":
        p = sampled_task(rng, lambda b: 3 * b, discounted=False, budget_share=budget_share)
    elif family == "misleading sample":
        # The sample takes every (cells // 8192)-th cell: those are worth
        # ten times the others, so it expects the budget to run out among
        # them, and the pass finds it does not.
        def c_of(b):
            c = b.copy()
            c.flat[:: b.size // 8192] *= 10
            return c

        p = sampled_task(rng, c_of, budget_share=budget_share)
    else:
        b = rng.integers(-40, 100, SAMPLED)
        c = rng.integers(-50, 100, SAMPLED)
        p = problem(c, b, max(1, int(np.abs(b).sum() * budget_share)), rng.random(SAMPLED) * 0.5)
    bound = assert_bound(p)
    # The same on one thread and in any layout: chunks' sums add in one order.
    assert bound == assert_bound(problem(p.c, p.b, p.b_total, p.omega, ("F", "T", "stepped")))
