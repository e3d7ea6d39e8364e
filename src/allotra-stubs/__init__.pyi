"""Budget-constrained 0/1 selection on a grid, solved by randomised native code.

Shipped as the stub-only package ``allotra-stubs`` next to the extension
module, where type checkers look for it without configuration.
"""

from collections.abc import Callable
from typing import Any, Final, Literal, SupportsFloat, SupportsIndex, final

from _typeshed import structseq

import numpy as np
import numpy.typing as npt

__all__ = ["Task", "AntColonyAssignmentSolver", "ProbabilisticAssignmentSolver"]
__version__: Final[str]

# Integer parameters go through the interpreter's index conversion (int, bool,
# NumPy integers; not float). Float parameters go through its float
# conversion, which takes __float__ or __index__ but refuses strings.
_Float = SupportsFloat | SupportsIndex
_Stopped = Literal["completed", "time_limit", "callback"]
# callback(iteration, value, seconds); a true return stops the run.
_Callback = Callable[[int, float, float], object]

@final
class RunResult(
    structseq[Any],
    tuple[npt.NDArray[np.int64], float, int, _Stopped, int, float, npt.NDArray[np.float64]],
):
    """What run() returns: x, value = result[:2], and how the run went."""

    __match_args__: Final = ("x", "value", "seed", "stopped", "iterations", "seconds", "history")
    @property
    def x(self) -> npt.NDArray[np.int64]: ...
    @property
    def value(self) -> float: ...
    @property
    def seed(self) -> int: ...
    @property
    def stopped(self) -> _Stopped: ...
    @property
    def iterations(self) -> int: ...
    @property
    def seconds(self) -> float: ...
    @property
    def history(self) -> npt.NDArray[np.float64]:
        """(iteration, value) rows, one for each rise of the best value."""
        ...
    @property
    def bound(self) -> float:
        """The optimum of the task's continuous relaxation (by name only, not
        in the tuple): no selection is worth more, so 1 - value / bound
        bounds the gap to the optimum."""
        ...

@final
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

@final
class ProbabilisticAssignmentSolver:
    """kmax independent greedy random constructions weighted by value density;
    the best is returned."""

    def __new__(cls, kmax: SupportsIndex = 100) -> ProbabilisticAssignmentSolver: ...
    def solve(self, task: Task) -> tuple[npt.NDArray[np.int64], float]: ...
    def run(
        self,
        task: Task,
        *,
        seed: SupportsIndex | None = None,
        time_limit: _Float | None = None,
        callback: _Callback | None = None,
    ) -> RunResult: ...

@final
class AntColonyAssignmentSolver:
    """An ant colony optimiser: kmax iterations of num_ants constructions
    weighted by tau**alpha * eta**beta, with evaporation rho."""

    def __new__(
        cls,
        num_ants: SupportsIndex = 20,
        kmax: SupportsIndex = 100,
        alpha: _Float = 1.0,
        beta: _Float = 2.0,
        rho: _Float = 0.1,
        initial_pheromone: _Float = 1.0,
    ) -> AntColonyAssignmentSolver: ...
    def solve(self, task: Task) -> tuple[npt.NDArray[np.int64], float]: ...
    def run(
        self,
        task: Task,
        *,
        seed: SupportsIndex | None = None,
        time_limit: _Float | None = None,
        callback: _Callback | None = None,
    ) -> RunResult: ...
