"""Builders for Task arguments, number-like stand-ins, and a way to read a Task back.

A Task exposes none of its fields, so its contents are observed through a
solve: when every cell with a positive weight fits into the budget together,
one probabilistic construction takes all of them whatever it draws, so the
result depends only on the Task's values.
"""

import operator

import numpy as np

import allotra

# Budget large enough for every cell of the small grids used in the tests.
AMPLE_BUDGET = 10**6

COST_SHAPE = "Некоректні розміри матриці вартості"
RESOURCE_SHAPE = "Некоректні розміри матриці витрат ресурсу"
DISCOUNT_SHAPE = "Некоректні розміри матриці знижок"
DISCOUNT_RANGE = "Знижки повинні бути в діапазоні [0, 1]"
BUDGET_NOT_POSITIVE = "Загальний ресурс повинен бути додатнім"


def task_arrays(m, n):
    """c, b_ij and omega of a valid m x n task: values 1.., unit consumptions, no discounts."""
    c = np.arange(1, m * n + 1, dtype=np.int64).reshape(m, n)
    b_ij = np.ones((m, n), dtype=np.int64)
    omega = np.zeros((m, n), dtype=np.float64)
    return c, b_ij, omega


def make_task(m=2, n=3, *, c=None, b_ij=None, b_total=AMPLE_BUDGET, omega=None):
    dc, db, dw = task_arrays(int(operator.index(m)), int(operator.index(n)))
    return allotra.Task(
        m,
        n,
        dc if c is None else c,
        db if b_ij is None else b_ij,
        b_total,
        dw if omega is None else omega,
    )


def take_all(task):
    """Solve with one probabilistic construction; deterministic when everything fits."""
    return allotra.ProbabilisticAssignmentSolver(kmax=1).solve(task)


def expected_take_all(c, b_ij, omega):
    """(x, value) that take_all returns when no b_ij is negative and the budget is ample."""
    c = np.asarray(c)
    b_ij = np.asarray(b_ij)
    omega = np.asarray(omega)
    x = ((c > 0) & (b_ij > 0) & (omega < 1.0)).astype(np.int64)
    value = float(np.sum(np.where(x == 1, c * (1.0 - omega), 0.0)))
    if value <= 0.0:
        return np.zeros_like(x), 0.0
    return x, value


class Index:
    """An object that converts to an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    """An object that converts to a float only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value
