"""Choosing parameters: what kmax, num_ants, alpha, beta and rho do to the
answer and to the time.

    python benchmarks/parameters.py [--size 40] [--repeats 3]

One instance (weakly correlated family, budget 10% of the total resource use,
a size x size grid; see instances.py) whose exact optimum is known. Starting
from the defaults, one parameter at a time is varied; every setting is solved
--repeats times. Prints a Markdown table (gap to the optimum: mean and range;
median time), writes it to benchmarks/parameters.md and draws
benchmarks/parameters.png (matplotlib, the optional 'bench' dependency).
Takes about a minute on two cores.
"""

from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

import allotra
from instances import exact_optimum, fmt_time, machine_note, make_instance, markdown_table, timed

HERE = Path(__file__).resolve().parent

# (solver, parameter, values tried); every other parameter keeps its default.
VARIATIONS = [
    ("probabilistic", "kmax", [10, 30, 100, 300, 1000, 3000]),
    ("ant colony", "kmax", [10, 30, 100, 300]),
    ("ant colony", "num_ants", [5, 10, 20, 40, 80]),
    ("ant colony", "alpha", [0.25, 0.5, 1.0, 2.0, 4.0]),
    ("ant colony", "beta", [0.5, 1.0, 2.0, 4.0, 8.0]),
    ("ant colony", "rho", [0.02, 0.05, 0.1, 0.3, 0.6]),
]
CLASSES = {"probabilistic": allotra.ProbabilisticAssignmentSolver, "ant colony": allotra.AntColonyAssignmentSolver}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=40)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    inst = make_instance("weakly correlated", args.size, args.size, 0.1, seed=7)
    task = inst.task()
    optimum = exact_optimum(inst)
    results = []  # (solver, parameter, value, mean gap, min gap, max gap, median time)
    for solver, parameter, values in VARIATIONS:
        for value in values:
            solve = CLASSES[solver](**{parameter: value}).solve
            runs = [timed(solve, task) for _ in range(args.repeats)]
            gaps = [100.0 * (optimum - v) / optimum for v, _ in runs]
            results.append((solver, parameter, value, statistics.fmean(gaps), min(gaps), max(gaps),
                            statistics.median(t for _, t in runs)))
            print(results[-1], file=sys.stderr, flush=True)

    header = ["solver", "parameter", "value", "gap to the optimum (range)", "time"]
    rows = [[s, p, f"{v:g}", f"{g:.2f}% ({lo:.2f}–{hi:.2f})", fmt_time(t)] for s, p, v, g, lo, hi, t in results]
    note = machine_note("python benchmarks/parameters.py", args.repeats) + (
        f" One weakly correlated {args.size}×{args.size} task, no discounts, budget 10% of the total use;"
        " every other parameter at its default.")
    text = f"{markdown_table(header, rows)}\n\n{note}\n"
    (HERE / "parameters.md").write_text("# Effect of the parameters\n\n" + text)
    print(text)
    plot(results, args.size, HERE / "parameters.png")


def plot(results, size: int, path: Path) -> None:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot (pip install '.[bench]')", file=sys.stderr)
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 3, figsize=(13, 7.5))
    for ax, (solver, parameter, values) in zip(axes.flat, VARIATIONS):
        mine = [r for r in results if r[0] == solver and r[1] == parameter]
        xs = [r[2] for r in mine]
        ax.errorbar(xs, [r[3] for r in mine], yerr=[[r[3] - r[4] for r in mine], [r[5] - r[3] for r in mine]],
                    color="tab:blue", marker="o", capsize=3)
        ax.set_xscale("log")
        ax.set_xticks(xs, [f"{x:g}" for x in xs])
        ax.minorticks_off()
        ax.set_xlabel(f"{parameter} ({solver})")
        ax.set_ylabel("gap to the optimum (%)", color="tab:blue")
        ax.set_ylim(bottom=0)
        twin = ax.twinx()
        twin.plot(xs, [r[6] for r in mine], color="tab:orange", marker="s", linestyle="--")
        twin.set_ylabel("median time (s)", color="tab:orange")
        twin.set_ylim(bottom=0)
    fig.suptitle(f"One parameter at a time from the defaults: weakly correlated {size}×{size} task, "
                 "budget 10%  (lower gap is better; bars: range over the runs)")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print(f"wrote {path}", file=sys.stderr)


if __name__ == "__main__":
    main()
