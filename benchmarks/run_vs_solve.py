"""run() against solve(): its cost, how late a time limit stops it, and how
far another Python thread gets meanwhile, at 300², 1000² and 2000².

    python benchmarks/run_vs_solve.py [--sizes 300 1000 2000] [--repeats 3]

- cost: the median time of run(task, seed=...) and of solve(task) with the
  same parameters, alternating (goal: run within 5% of solve);
- lateness: time from the limit to run's return, for limits that end in the
  setup passes (1 ms) and inside the constructions (a quarter of a second);
  the largest over the repeats (goal: 20 ms);
- another thread: how many times a pure Python loop in another thread counts
  during the call, against the same loop alone, in percent;
- a neighbour that holds the lock: a colony run at 1000² beside a thread that
  keeps the interpreter lock in slices of 0.1 s (a C call through a PyDLL),
  called on the main thread and on another thread (and alone): iterations in
  3 s, and how late a 0.5 s limit returns, against the neighbour's longest
  hold (goals: on the main thread at least 80% of the iterations of another
  thread; late at most 20 ms plus the longest hold). `--neighbour-only` runs
  just this part.

Uncorrelated tasks, budget 20% of the total use, default pool.
"""

from __future__ import annotations

import argparse
import ctypes
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


def hold_the_lock_in_slices(stop, holds):
    """Keeps the interpreter lock 0.1 s at a time until `stop` is set."""
    usleep = ctypes.PyDLL(None).usleep
    while not stop.is_set():
        started = time.perf_counter()
        usleep(100_000)
        holds.append(time.perf_counter() - started)


def beside_a_neighbour(where, call):
    """call() on this (main) thread or another one, with or without the
    neighbour; the result and the neighbour's longest hold."""
    stop, holds, out = threading.Event(), [], {}
    neighbour = threading.Thread(target=hold_the_lock_in_slices, args=(stop, holds))
    if where != "alone":
        neighbour.start()
    if where == "another thread":
        caller = threading.Thread(target=lambda: out.setdefault("result", call()))
        caller.start()
        caller.join()
    else:
        out["result"] = call()
    stop.set()
    if where != "alone":
        neighbour.join()
    return out["result"], max(holds, default=0.0)


def neighbour_rows(repeats, size=1000):
    task = make_instance("uncorrelated", size, size, 0.2, seed=size).task()
    solver = allotra.AntColonyAssignmentSolver(kmax=10**9)
    rows = []
    for where in ("main thread", "another thread", "alone"):
        iterations, late, holds = [], [], []
        for k in range(repeats):
            result, hold = beside_a_neighbour(where, lambda: solver.run(task, seed=k, time_limit=3.0))
            iterations.append(result.iterations)

            def limited(k=k):
                started = time.perf_counter()
                solver.run(task, seed=k, time_limit=0.5)
                return time.perf_counter() - started - 0.5

            lateness, hold_late = beside_a_neighbour(where, limited)
            late.append(lateness)
            holds.append(max(hold, hold_late))
        rows.append((where, iterations, late, max(holds)))
    return rows


def print_neighbour_table(repeats):
    print(f"\n| colony 1000², called on | iterations in 3 s | late, 0.5 s limit | neighbour's longest hold |")
    print("|---|---|---|---|")
    for where, iterations, late, hold in neighbour_rows(repeats):
        shown = " / ".join(str(n) for n in iterations)
        lateness = " / ".join(f"{1000 * t:.0f} ms" for t in late)
        print(f"| {where} | {shown} | {lateness} | {1000 * hold:.0f} ms |", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 2000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--neighbour-only", action="store_true")
    args = parser.parse_args()
    if args.neighbour_only:
        print_neighbour_table(args.repeats)
        return
    print("| grid | solver | solve | run | run / solve | late, " + " | late, ".join(LIMITS)
          + " | other thread during run | during solve |")
    print("|---|---|---|---|---|" + "---|" * len(LIMITS) + "---|---|")
    for size in args.sizes:
        for grid, name, solve, run, late, during_run, during_solve in measure(size, args.repeats):
            lateness = " | ".join(f"{late[phase] * 1000:.1f} ms" for phase in LIMITS)
            print(f"| {grid} | {name} | {solve:.3f} s | {run:.3f} s | {run / solve:.3f} | {lateness} "
                  f"| {during_run:.0f}% | {during_solve:.0f}% |", flush=True)
    print_neighbour_table(args.repeats)


if __name__ == "__main__":
    main()
