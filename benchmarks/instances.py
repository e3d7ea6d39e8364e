"""Test instances and reference answers shared by the Python benchmarks.

The three classic families of 0/1 knapsack benchmarks, laid out on an m x n
grid (one item per cell, so without discounts a cell's value is its c):

- uncorrelated: c and b_ij independent, uniform on [1, R];
- weakly correlated: c = b_ij + uniform on [-R/10, R/10], at least 1;
- strongly correlated: c = b_ij + R/10.

Each family comes without discounts (omega = 0: the values take the exact
integer path) or, as users' tasks have them, with discounts uniform on
[0, DISCOUNT_TOP] (`discounts=True`) or on [0, `discount`]; they are drawn
after everything else, so the rest of a task is the same either way.

The budget is a share of the total resource use. Three references judge an
answer: the exact optimum (a dynamic program over the budget, for grids small
enough), the fractional bound (no selection can exceed it) and the density
greedy a user could write in a few lines of NumPy.
"""

from __future__ import annotations

import time
from dataclasses import dataclass

import numpy as np

import allotra

FAMILIES = ("uncorrelated", "weakly correlated", "strongly correlated")
R = 100  # resource uses are integers in [1, R]: small enough for an exact DP
DISCOUNT_TOP = 0.5


@dataclass(frozen=True)
class Instance:
    c: np.ndarray
    b_ij: np.ndarray
    b_total: int
    omega: np.ndarray

    @property
    def shape(self) -> tuple[int, int]:
        return self.c.shape

    def task(self) -> allotra.Task:
        m, n = self.shape
        return allotra.Task(m, n, self.c, self.b_ij, self.b_total, self.omega)


def family_label(family: str, discounts: bool) -> str:
    """How a figure names its family: the family, and whether it has discounts."""
    return f"{family}, discounts in [0, {DISCOUNT_TOP}]" if discounts else f"{family}, no discount"


def make_instance(family: str, m: int, n: int, budget_share: float, seed: int,
                  discounts: bool = False, discount: float | None = None) -> Instance:
    rng = np.random.default_rng(seed)
    b_ij = rng.integers(1, R + 1, size=(m, n), dtype=np.int64)
    if family == "uncorrelated":
        c = rng.integers(1, R + 1, size=(m, n), dtype=np.int64)
    elif family == "weakly correlated":
        c = np.maximum(b_ij + rng.integers(-R // 10, R // 10 + 1, size=(m, n)), 1).astype(np.int64)
    elif family == "strongly correlated":
        c = b_ij + R // 10
    else:
        raise ValueError(family)
    b_total = max(1, int(b_ij.sum() * budget_share))
    # Drawn last, so that a family's c and b_ij are the same either way.
    top = discount if discount is not None else (DISCOUNT_TOP if discounts else 0.0)
    omega = rng.uniform(0.0, top, size=(m, n)) if top > 0 else np.zeros((m, n))
    return Instance(c, b_ij, b_total, omega)


def cell_values(inst: Instance) -> np.ndarray:
    return ((1.0 - inst.omega) * inst.c).ravel()


def exact_optimum(inst: Instance) -> float:
    """The best value, exactly; for integer cell values (the families here).

    First the classic reduction: with lam the density of the cell where the
    fractional solution stops, flipping a cell j away from its place in that
    solution costs the bound at least |v_j - lam * w_j|, so a cell whose
    flipped bound cannot beat the greedy answer keeps its place. A dynamic
    program over the budget (best[w]: best value of the free cells within w)
    then settles the few cells left free."""
    values, costs = cell_values(inst), inst.b_ij.ravel().astype(np.int64)
    if not np.array_equal(values, np.round(values)):
        raise ValueError("exact_optimum needs integer cell values")
    order = _density_order(inst)
    used = np.cumsum(costs[order])
    whole = int(np.searchsorted(used, inst.b_total, side="right"))
    bound = fractional_bound(inst)
    lower = density_greedy(inst)[1]
    if whole == len(order):
        return bound  # everything fits
    lam = values[order[whole]] / costs[order[whole]]
    in_lp = np.zeros(len(order), dtype=bool)
    in_lp[order[:whole]] = True
    # Values are integers: a flipped bound below lower + 1 cannot improve.
    settled = bound - np.abs(values - lam * costs) < lower + 1 - 1e-6
    fixed_in = settled & in_lp
    free = ~settled
    capacity = inst.b_total - int(costs[fixed_in].sum())
    return max(lower, float(values[fixed_in].sum()) + _grouped_dp(values[free], costs[free], capacity))


def _grouped_dp(values: np.ndarray, costs: np.ndarray, capacity: int) -> float:
    """Best value within capacity, each cell taken at most once. Cells with the
    same value and cost are interchangeable (the correlated families have
    thousands of them): k of a kind become pieces of 1, 2, 4, ... cells, which
    can still make up any count from 0 to k."""
    kinds, counts = np.unique(np.stack([values, costs]), axis=1, return_counts=True)
    best = np.zeros(capacity + 1)
    for (value, cost), count in zip(kinds.T.tolist(), counts.tolist()):
        piece = 1
        while count > 0:
            take = min(piece, count)
            count, piece = count - take, piece * 2
            weight = int(cost) * take
            if 0 < weight <= capacity:
                # The right side is evaluated first: each piece is used at most once.
                best[weight:] = np.maximum(best[weight:], best[:-weight] + value * take)
    return float(best[-1])


def plain_optimum(inst: Instance) -> float:
    """A dynamic program over every cell one by one, with no reduction and no
    grouping (slow; it checks exact_optimum on small grids)."""
    best = np.zeros(inst.b_total + 1)
    for value, cost in zip(cell_values(inst).tolist(), inst.b_ij.ravel().tolist()):
        if cost <= inst.b_total:
            best[cost:] = np.maximum(best[cost:], best[:-cost] + value)
    return float(best[-1])


def _density_order(inst: Instance) -> np.ndarray:
    # All resource uses here are positive, so the density is finite.
    return np.argsort(-(cell_values(inst) / inst.b_ij.ravel()), kind="stable")


def fractional_bound(inst: Instance) -> float:
    """The best value if the last cell could be taken in part."""
    order = _density_order(inst)
    costs, values = inst.b_ij.ravel()[order], cell_values(inst)[order]
    used = np.cumsum(costs)
    whole = int(np.searchsorted(used, inst.b_total, side="right"))
    bound = float(values[:whole].sum())
    if whole < len(order):
        left = inst.b_total - (int(used[whole - 1]) if whole else 0)
        bound += float(values[whole]) * left / float(costs[whole])
    return bound


def density_greedy(inst: Instance) -> tuple[np.ndarray, float]:
    """Cells in order of value density, each taken when it still fits: the
    longest run that fits at once, then each later cell that still fits,
    found a vectorised scan at a time."""
    x = np.zeros(inst.c.size, dtype=np.int64)
    order = _density_order(inst)
    costs = inst.b_ij.ravel()[order]
    used = np.cumsum(costs)
    whole = int(np.searchsorted(used, inst.b_total, side="right"))
    x[order[:whole]] = 1
    left = inst.b_total - (int(used[whole - 1]) if whole else 0)
    start = whole
    while start < len(order):
        fits = np.flatnonzero(costs[start:] <= left)
        if fits.size == 0:
            break
        at = start + int(fits[0])
        x[order[at]], left, start = 1, left - int(costs[at]), at + 1
    x = x.reshape(inst.shape)
    return x, float((cell_values(inst) * x.ravel()).sum())


def timed(solve, *args) -> tuple[float, float]:
    """(value, seconds) of one call of solve(*args) -> (x, value)."""
    start = time.perf_counter()
    _, value = solve(*args)
    return float(value), time.perf_counter() - start


SOLVERS = {
    "probabilistic": lambda inst: allotra.ProbabilisticAssignmentSolver().solve(inst.task()),
    "ant colony": lambda inst: allotra.AntColonyAssignmentSolver().solve(inst.task()),
    "density greedy": density_greedy,
}


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in rows])


def machine_note(command: str, repeats: int) -> str:
    """Where and how a table was measured, for the line under it."""
    import os
    import platform

    processors = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return (f"Measured by `{command}` ({repeats} runs per setting; {platform.machine()}, "
            f"{processors} processors, Python {platform.python_version()}, NumPy {np.__version__}, "
            f"{time.strftime('%Y-%m-%d')}).")
