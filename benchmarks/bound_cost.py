"""What RunResult.bound costs, against one np.cumsum over the grid.

    python benchmarks/bound_cost.py [--sizes 1000 2000] [--repeats 15]

run(task, seed=1, time_limit=0) computes the task's bound (a time limit
never cuts it short) and stops before the solver starts, so its time is the
bound's plus run()'s own overhead (shown apart: the same call on a 1 x 1
task). Each is timed --repeats times, alternating with np.cumsum over m·n
doubles (a new output array each time), in wall time and in the process's
CPU time (every thread's: on a machine that other jobs keep busy, a call
longer than a time slice waits for the cores, and the wall time says more
about the load than about the call); the medians and their ratios are
printed. Tasks: the three families of instances.py, budgets 10% and 50%,
without discounts and with discounts uniform on [0, 0.3]. Goal: at most three
np.cumsum at 1000 × 1000 on 2 cores.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
from instances import FAMILIES, fmt_time, machine_note, make_instance, markdown_table

import allotra


def timed(call) -> float:
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


def cpu_timed(call) -> float:
    """The process's CPU time (every thread's) of call()."""
    started = time.process_time()
    call()
    return time.process_time() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", nargs="+", type=int, default=[1000, 2000])
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    solver = allotra.ProbabilisticAssignmentSolver()
    one = make_instance("uncorrelated", 1, 1, 0.5, seed=1).task()
    overhead = statistics.median(timed(lambda: solver.run(one, seed=1, time_limit=0)) for _ in range(args.repeats))
    rows = []
    for size in args.sizes:
        doubles = np.random.default_rng(size).random(size * size)
        for family in FAMILIES:
            for discount in (0.0, 0.3):
                for budget in (0.1, 0.5):
                    task = make_instance(family, size, size, budget, seed=size, discount=discount).task()
                    times = {"bound": [], "cumsum": [], "bound cpu": [], "cumsum cpu": []}
                    for _ in range(args.repeats):
                        times["bound"].append(timed(lambda: solver.run(task, seed=1, time_limit=0)))
                        times["cumsum"].append(timed(lambda: np.cumsum(doubles)))
                        times["bound cpu"].append(cpu_timed(lambda: solver.run(task, seed=1, time_limit=0)))
                        times["cumsum cpu"].append(cpu_timed(lambda: np.cumsum(doubles)))
                    median = {name: statistics.median(values) for name, values in times.items()}
                    rows.append([f"{size}²", family, "[0, 0.3]" if discount else "none", f"{budget:.0%}",
                                 fmt_time(median["bound"]), fmt_time(median["cumsum"]),
                                 f"{median['bound'] / median['cumsum']:.1f}",
                                 f"{median['bound cpu'] / median['cumsum cpu']:.1f}"])
                    print(" | ".join(rows[-1]), flush=True)
    print()
    print(markdown_table(["grid", "family", "discounts", "budget", "run(time_limit=0)", "np.cumsum",
                          "× np.cumsum", "CPU time × np.cumsum's"], rows))
    print()
    print(machine_note("python benchmarks/bound_cost.py", args.repeats)
          + f" run() on a 1 × 1 task: {fmt_time(overhead)}.")


if __name__ == "__main__":
    main()
