"""run() against solve(): its cost, how late a time limit stops it, and how
far another Python thread gets meanwhile, at 300², 1000² and 2000².

    python benchmarks/run_vs_solve.py [--sizes 300 1000 2000] [--repeats 3]

- cost: the median time of run(task, seed=...) and of solve(task) with the
  same parameters, alternating (goal: run within 5% of solve);
- lateness: time from the limit to run's return, for limits that end in the
  setup passes (1 ms) and inside the constructions (a quarter of a second);
  the largest over the repeats (goal: 20 ms);
- another thread: how many times a pure Python loop in another thread counts
  during the call, against the same loop alone, in percent.

Uncorrelated tasks, budget 20% of the total use, default pool.
"""

from __future__ import annotations

import argparse
import statistics
import threading
import time

from instances import make_instance

import allotra

LIMITS = {"setup (1 ms)": 0.001, "constructions (0.25 s)": 0.25}


def solvers(size):
    """Parameters that take a second or so at each size."""
    iterations = {300: 20, 1000: 3, 2000: 1}[size]
    return {
        "colony": lambda kmax=iterations: allotra.AntColonyAssignmentSolver(kmax=kmax),
        "probabilistic": lambda kmax=4 * iterations + 8: allotra.ProbabilisticAssignmentSolver(kmax=kmax),
    }


def counting_rate(call):
    """Counts per second of another thread's loop while call() runs."""
    count, running = [0], [True]

    def loop():
        while running[0]:
            count[0] += 1

    thread = threading.Thread(target=loop)
    thread.start()
    time.sleep(0.02)
    before, started = count[0], time.perf_counter()
    call()
    rate = (count[0] - before) / (time.perf_counter() - started)
    running[0] = False
    thread.join()
    return rate


def measure(size, repeats):
    task = make_instance("uncorrelated", size, size, 0.2, seed=size).task()
    idle = counting_rate(lambda: time.sleep(1.0))
    rows = []
    for name, make in solvers(size).items():
        solver = make()
        solve_times, run_times = [], []
        for k in range(repeats):
            started = time.perf_counter()
            solver.solve(task)
            solve_times.append(time.perf_counter() - started)
            started = time.perf_counter()
            solver.run(task, seed=k)
            run_times.append(time.perf_counter() - started)
        solve, run = statistics.median(solve_times), statistics.median(run_times)
        late = {}
        for phase, limit in LIMITS.items():
            worst = 0.0
            for k in range(repeats):
                started = time.perf_counter()
                result = make(10**12).run(task, seed=k, time_limit=limit)
                worst = max(worst, time.perf_counter() - started - limit)
                assert result.stopped == "time_limit"
            late[phase] = worst
        during_run = counting_rate(lambda: solver.run(task, seed=0))
        during_solve = counting_rate(lambda: solver.solve(task))
        rows.append((f"{size}²", name, solve, run, late, 100 * during_run / idle, 100 * during_solve / idle))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 2000])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print("| grid | solver | solve | run | run / solve | late, " + " | late, ".join(LIMITS)
          + " | other thread during run | during solve |")
    print("|---|---|---|---|---|" + "---|" * len(LIMITS) + "---|---|")
    for size in args.sizes:
        for grid, name, solve, run, late, during_run, during_solve in measure(size, args.repeats):
            lateness = " | ".join(f"{late[phase] * 1000:.1f} ms" for phase in LIMITS)
            print(f"| {grid} | {name} | {solve:.3f} s | {run:.3f} s | {run / solve:.3f} | {lateness} "
                  f"| {during_run:.0f}% | {during_solve:.0f}% |", flush=True)


if __name__ == "__main__":
    main()
