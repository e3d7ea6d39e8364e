"""How far the answers are from the optimum, measured by RunResult.bound, on
tasks with discounts; and the gap over time at 1000 × 1000 (gap.png).

    python benchmarks/gap.py [--size 1000] [--seconds 8] [--families ...] [--budgets 0.1 0.5]

Tasks: the families of instances.py at --size × --size, with discounts
omega uniform on [0, 0.3] (`make_instance(..., discount=0.3)`), budgets a
share of the total resource use. The gap of a value is 1 - value / bound:
the bound is the optimum of the continuous relaxation, so the gap to the
optimum is at most that.

1. Whole solves, one run each (seed 1): the colony with the default
   parameters (beta = 2) and with beta = 8 and 16, the probabilistic solver
   with its default kmax = 100, and the density greedy (instances.py; sort by
   value density, take each cell that fits, in NumPy). Prints a Markdown
   table of gaps and times and writes it to benchmarks/gap.md.
2. The gap against time on the uncorrelated task at half the budget: both
   solvers with unbounded kmax stopped by a --seconds time limit, the colony
   with beta 2 and 16, from each run's callback (after every colony
   iteration, every tenth of a second for the probabilistic solver), and the
   density greedy's one answer at the time it took; writes gap.png
   (matplotlib, the optional 'bench' dependency).
"""

from __future__ import annotations

import argparse
import os
import time
from pathlib import Path

from instances import FAMILIES, density_greedy, fmt_time, machine_note, make_instance, markdown_table

import allotra

HERE = Path(__file__).resolve().parent
DISCOUNT = 0.3
COLONY_BETAS = (2.0, 8.0, 16.0)


def gap(value: float, bound: float) -> float:
    return 1.0 - value / bound


def fmt_gap(share: float) -> str:
    if share < 1e-5:
        return "< 0.001%"
    return f"{100 * share:.3f}%" if share < 0.01 else f"{100 * share:.2f}%"


def greedy(instance):
    started = time.perf_counter()
    _, value = density_greedy(instance)
    return value, time.perf_counter() - started


def whole_solves(size: int, families: list[str], budgets: list[float]) -> str:
    header = ["family", "budget"] + [f"colony, beta {beta:g}" for beta in COLONY_BETAS] + [
        "probabilistic", "density greedy"]
    rows = []
    for family in families:
        for budget in budgets:
            instance = make_instance(family, size, size, budget, seed=size, discount=DISCOUNT)
            task = instance.task()
            cells, bound = [], None
            for solver in [allotra.AntColonyAssignmentSolver(beta=beta) for beta in COLONY_BETAS] + [
                    allotra.ProbabilisticAssignmentSolver()]:
                result = solver.run(task, seed=1)
                bound = result.bound
                cells.append(f"{fmt_gap(gap(result.value, bound))} in {fmt_time(result.seconds)}")
            value, seconds = greedy(instance)
            cells.append(f"{fmt_gap(gap(value, bound))} in {fmt_time(seconds)}")
            rows.append([family, f"{budget:.0%}"] + cells)
            print(" | ".join(rows[-1]), flush=True)
    return markdown_table(header, rows)


def over_time(size: int, seconds: float, path: Path) -> list[str]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    instance = make_instance("uncorrelated", size, size, 0.5, seed=size, discount=DISCOUNT)
    task = instance.task()
    figure, axes = plt.subplots(figsize=(6.4, 3.8), dpi=90)
    lines, bound = [], None
    runs = [(f"colony, beta {beta:g}", allotra.AntColonyAssignmentSolver(kmax=2**64 - 1, beta=beta))
            for beta in (2.0, 16.0)]
    runs.append(("probabilistic", allotra.ProbabilisticAssignmentSolver(kmax=2**64 - 1)))
    for label, solver in runs:
        points = []
        result = solver.run(task, seed=1, time_limit=seconds,
                            callback=lambda iteration, value, at: points.append((at, value)))
        bound = result.bound
        points = [(at, value) for at, value in points if value > 0.0]
        axes.step([at for at, _ in points], [100 * gap(value, bound) for _, value in points], where="post",
                  label=label)
        lines.append(f"{label}: {result.iterations} iterations or constructions in {result.seconds:.1f} s, "
                     f"gap {fmt_gap(gap(result.value, bound))}")
    value, took = greedy(instance)
    axes.plot([took], [100 * gap(value, bound)], "k*", markersize=10, label="density greedy (NumPy)")
    lines.append(f"density greedy: {fmt_time(took)}, gap {fmt_gap(gap(value, bound))}")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("seconds")
    axes.set_ylabel("gap to the bound, %")
    axes.set_title(f"{size} × {size}, uncorrelated, discounts in [0, {DISCOUNT}], budget 50%", fontsize=10)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path)
    for line in lines:
        print(line)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--families", nargs="+", default=list(FAMILIES))
    parser.add_argument("--budgets", nargs="+", type=float, default=[0.1, 0.5])
    parser.add_argument("--no-table", action="store_true", help="only the picture")
    args = parser.parse_args()
    parts = [f"# Gap to the bound, {args.size} × {args.size}, with discounts", ""]
    if not args.no_table:
        table = whole_solves(args.size, args.families, args.budgets)
        parts += [
            f"Whole solves (seed 1) on tasks of the families of instances.py with discounts uniform on "
            f"[0, {DISCOUNT}]: gap to RunResult.bound, and the seconds of the run (the density greedy: of the "
            f"NumPy function).",
            "", table, "",
            machine_note(f"python benchmarks/gap.py --size {args.size}", 1)
            + f" Load average at the end: {os.getloadavg()[0]:.1f} (times on a busy machine are rough).", "",
        ]
    lines = over_time(args.size, args.seconds, HERE / "gap.png")
    parts += ["![gap to the bound over time](gap.png)", "", "At the end of each run:", ""]
    parts += [f"- {line}" for line in lines]
    if not args.no_table:
        (HERE / "gap.md").write_text("\n".join(parts) + "\n", encoding="utf-8")
        print(f"wrote {HERE / 'gap.md'} and {HERE / 'gap.png'}")


if __name__ == "__main__":
    main()
