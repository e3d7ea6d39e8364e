"""The first answer and whole default solves, with discounts, as multiples of
one np.cumsum over the grid's m*n doubles, in this process.

    python benchmarks/first_answer.py [--sizes 100,300,1000,2000] [--rounds 5]
                                      [--no-discounts] [--whole]
    python benchmarks/first_answer.py --interrupt [--sizes 3000] [--amounts 1000000]

Every task: c in [1, 1000), b_ij in [1, 100), omega uniform in [0, 0.5]
(or 0 with --no-discounts), a budget of half the amounts' sum; the default
pool. Prints, for each grid, the median over rounds of: a probabilistic solve
with kmax=1 ("prob k=1"), a colony of one iteration of the default 20 ants
("colony it1"), and with --whole the default solves (probabilistic kmax=100,
colony 100 iterations of 20 ants). To compare two builds, run this script
with each build's interpreter in turn, alternating, on the same machine: the
machines are shared and noisy, and only figures measured together compare.

--interrupt times Ctrl-C early in the setup instead: SIGALRM (whose handler
raises KeyboardInterrupt) 10 to 300 ms into a solve of either solver whose
b_ij take many values (uniform in [1, --amounts), 10^6 by default; 2^40 takes
the sort digit by digit), and prints the largest and median latency from the
signal to the exception (the goal: 0.1 s).
"""

from __future__ import annotations

import argparse
import signal
import statistics
import time

import numpy as np

import allotra


def task_of(size: int, discounts: bool) -> allotra.Task:
    rng = np.random.default_rng(size)
    c = rng.integers(1, 1000, (size, size))
    b = rng.integers(1, 100, (size, size))
    omega = rng.uniform(0.0, 0.5, (size, size)) if discounts else np.zeros((size, size))
    return allotra.Task(size, size, c, b, int(b.sum()) // 2, omega)


def floor_of(size: int) -> float:
    data = np.ones(size * size)
    times = []
    for _ in range(max(5, 2_000_000 // (size * size))):
        started = time.perf_counter()
        np.cumsum(data)
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def timed(call, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def interrupt_latencies(size: int, amounts: int) -> None:
    rng = np.random.default_rng(size)
    b = rng.integers(1, amounts, (size, size))
    task = allotra.Task(size, size, rng.integers(1, 1000, (size, size)), b, int(b.sum()) // 2,
                        rng.uniform(0.0, 0.5, (size, size)))

    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        for name, solver in (("probabilistic", allotra.ProbabilisticAssignmentSolver(kmax=10**9)),
                             ("colony", allotra.AntColonyAssignmentSolver(kmax=10**9))):
            latencies = []
            for delay in (0.01, 0.03, 0.06, 0.1, 0.15, 0.2, 0.3):
                sent = time.monotonic() + delay
                signal.setitimer(signal.ITIMER_REAL, delay)
                try:
                    solver.solve(task)
                except KeyboardInterrupt:
                    latencies.append(time.monotonic() - sent)
            print(f"{size}^2 {name}: Ctrl-C latency max {max(latencies) * 1e3:.0f} ms, "
                  f"median {statistics.median(latencies) * 1e3:.0f} ms", flush=True)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100,300,1000,2000")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-discounts", action="store_true")
    parser.add_argument("--whole", action="store_true")
    parser.add_argument("--interrupt", action="store_true")
    parser.add_argument("--amounts", type=int, default=10**6)
    options = parser.parse_args()
    if options.interrupt:
        for size in (int(s) for s in options.sizes.split(",")):
            interrupt_latencies(size, options.amounts)
        return
    for size in (int(s) for s in options.sizes.split(",")):
        task = task_of(size, not options.no_discounts)
        floor = floor_of(size)
        rows = {
            "prob k=1": lambda: allotra.ProbabilisticAssignmentSolver(kmax=1).solve(task),
            "colony it1": lambda: allotra.AntColonyAssignmentSolver(kmax=1).solve(task),
        }
        if options.whole:
            rows["prob whole"] = lambda: allotra.ProbabilisticAssignmentSolver().solve(task)
            rows["colony whole"] = lambda: allotra.AntColonyAssignmentSolver().solve(task)
        figures = []
        for name, call in rows.items():
            call()  # the pool started, the pages touched
            rounds = options.rounds if "whole" not in name or size <= 300 else max(1, options.rounds // 3)
            figures.append(f"{name} {timed(call, rounds) / floor:8.1f}")
        print(f"{size:5}^2 floor {floor * 1e3:7.3f} ms | " + " | ".join(figures), flush=True)


if __name__ == "__main__":
    main()
