"""The best value against time of the colony and of the probabilistic solver
on one task, from each run's callback; writes convergence.png.

    python benchmarks/convergence.py [--size 300] [--seconds 10] [--seed 1]

An uncorrelated 300 x 300 task (budget 20% of the total use), default
parameters but kmax, each run stopped by its time limit. The colony reports
after every iteration, the probabilistic solver every tenth of a second.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from instances import fractional_bound, make_instance  # noqa: E402

import allotra  # noqa: E402


def trace(solver, task, seconds, seed):
    points = []
    result = solver.run(task, seed=seed, time_limit=seconds,
                        callback=lambda iteration, value, at: points.append((at, value)))
    return points, result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    instance = make_instance("uncorrelated", args.size, args.size, 0.2, seed=args.size)
    task = instance.task()
    bound = fractional_bound(instance)
    figure, axes = plt.subplots(figsize=(6, 3.4), dpi=80)
    lowest = 100.0
    for label, solver in (("ant colony (20 ants)", allotra.AntColonyAssignmentSolver(kmax=10**9)),
                          ("probabilistic", allotra.ProbabilisticAssignmentSolver(kmax=10**12))):
        points, result = trace(solver, task, args.seconds, args.seed)
        times, values = zip(*points)
        shares = [100 * v / bound for v in values]
        lowest = min(lowest, shares[0])
        axes.step(times, shares, where="post", label=label)
        print(f"{label}: {result.iterations} iterations in {result.seconds:.2f} s, "
              f"{100 * result.value / bound:.2f}% of the fractional bound (seed {result.seed})")
    axes.set_xlabel("seconds")
    axes.set_ylabel("best value, % of the fractional bound")
    axes.set_xscale("log")
    axes.set_ylim(max(lowest, 50.0) - 2, 100)
    axes.grid(alpha=0.3)
    axes.legend(loc="center right")
    axes.set_title(f"{args.size} x {args.size}, uncorrelated, budget 20%, seed {args.seed}")
    figure.tight_layout()
    out = Path(__file__).with_name("convergence.png")
    figure.savefig(out)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
