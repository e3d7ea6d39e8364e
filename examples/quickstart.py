"""Solve one realistic selection problem with both allotra solvers.

A 30 x 40 grid of candidate cells (for example: projects by site, or shifts by
worker); every cell has a value, a resource cost and a discount. One budget
covers the whole grid. The example prints, for each solver, the value reached,
the budget used, the number of cells chosen, the wall time, and how far below
the optimum the value can be at most: 1 - value / bound, where the run's bound
is the best value of the fractional relaxation (cells taken in part), so you
can see at once how good the answer is.
"""

import time

import numpy as np

import allotra


def build_task(m=30, n=40, seed=2026):
    rng = np.random.default_rng(seed)
    c = rng.integers(10, 1000, size=(m, n), dtype=np.int64)        # value of each cell
    b_ij = rng.integers(5, 200, size=(m, n), dtype=np.int64)       # resource it consumes
    omega = rng.uniform(0.0, 0.35, size=(m, n))                    # discount in [0, 1]
    b_total = int(b_ij.sum() // 10)                                # about a tenth of all cells fit
    return c, b_ij, b_total, omega


def main():
    c, b_ij, b_total, omega = build_task()
    m, n = c.shape
    task = allotra.Task(m, n, c, b_ij, b_total, omega)
    print(f"task: {m} x {n} cells, budget {b_total}")

    solvers = [
        allotra.ProbabilisticAssignmentSolver(kmax=1000),
        allotra.AntColonyAssignmentSolver(num_ants=20, kmax=100),
    ]
    for solver in solvers:
        start = time.perf_counter()
        result = solver.run(task, seed=1)
        elapsed = time.perf_counter() - start
        used = int((result.x * b_ij).sum())
        print(
            f"{type(solver).__name__:>30}: value {result.value:10.1f} (at most "
            f"{1 - result.value / result.bound:6.2%} below the optimum, bound {result.bound:.1f}), "
            f"budget used {used}/{b_total}, {int(result.x.sum())} cells, {elapsed * 1000:7.1f} ms"
        )


if __name__ == "__main__":
    main()
