"""Budget-constrained 0/1 selection on a grid, solved by randomised native code."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["Task", "AntColonyAssignmentSolver", "ProbabilisticAssignmentSolver"]

class Task:
    """One problem instance: an m x n grid with values c, resource uses b_ij,
    discounts omega in [0, 1] and a positive budget b_total. The arrays are
    copied; the Task never changes afterwards."""

    def __new__(
        cls,
        m: SupportsIndex,
        n: SupportsIndex,
        c: npt.NDArray[np.int64],
        b_ij: npt.NDArray[np.int64],
        b_total: SupportsIndex,
        omega: npt.NDArray[np.float64],
    ) -> Task: ...
    def validate(self) -> bool: ...

class ProbabilisticAssignmentSolver:
    """kmax independent greedy random constructions weighted by value density;
    the best is returned."""

    def __new__(cls, kmax: SupportsIndex = 100) -> ProbabilisticAssignmentSolver: ...
    def solve(self, task: Task) -> tuple[npt.NDArray[np.int64], float]: ...

class AntColonyAssignmentSolver:
    """An ant colony optimiser: kmax iterations of num_ants constructions
    weighted by tau**alpha * eta**beta, with evaporation rho."""

    def __new__(
        cls,
        num_ants: SupportsIndex = 20,
        kmax: SupportsIndex = 100,
        alpha: SupportsFloat | SupportsIndex = 1.0,
        beta: SupportsFloat | SupportsIndex = 2.0,
        rho: SupportsFloat | SupportsIndex = 0.1,
        initial_pheromone: SupportsFloat | SupportsIndex = 1.0,
    ) -> AntColonyAssignmentSolver: ...
    def solve(self, task: Task) -> tuple[npt.NDArray[np.int64], float]: ...
