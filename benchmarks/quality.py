"""How good are the answers? Gap to the optimum, time and run-to-run spread.

    python benchmarks/quality.py [--exact 10 30 100] [--bound 200] [--repeats 3]

For every grid size, each of the three classic families (uncorrelated, weakly
and strongly correlated; see instances.py) and two budgets (10% and 50% of the
total resource use), one instance is made and solved --repeats times by each
solver with its default parameters, and once by the density greedy (it has no
randomness). The gap is (reference - value) / reference: the reference is the
exact optimum for the --exact sizes (a dynamic program of this benchmark's own)
and the fractional bound for the --bound sizes, where the gap to the optimum
is at most the printed one.

Prints a Markdown table and writes it to benchmarks/quality.md. Times are
medians of the repeats, wall clock, on whatever machine runs it (the module
uses every processor it is given). The default sizes finish in a few minutes
on two cores; on a shared machine, read the times as rough.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

from instances import (FAMILIES, SOLVERS, exact_optimum, fmt_time, fractional_bound, machine_note, make_instance,
                       markdown_table, timed)

HERE = Path(__file__).resolve().parent
BUDGETS = (0.1, 0.5)


def fmt_gap(gaps: list[float]) -> str:
    """Mean gap in %, with the range over the repeats when they differ."""
    mean = statistics.fmean(gaps)
    if max(gaps) - min(gaps) < 5e-4:
        return f"{mean:.2f}%"
    return f"{mean:.2f}% ({min(gaps):.2f}–{max(gaps):.2f})"


def measure(size: int, family: str, budget: float, exact: bool, repeats: int) -> list[str]:
    seed = 1000 * size + 10 * FAMILIES.index(family) + int(budget * 10)
    inst = make_instance(family, size, size, budget, seed)
    start = time.perf_counter()
    reference = exact_optimum(inst) if exact else fractional_bound(inst)
    reference_time = time.perf_counter() - start
    cells = [f"{size}×{size}", family, f"{budget:.0%}",
             f"{'optimum' if exact else 'bound'} ({fmt_time(reference_time)})"]
    for name, solve in SOLVERS.items():
        runs = [timed(solve, inst) for _ in range(1 if name == "density greedy" else repeats)]
        gaps = [100.0 * (reference - value) / reference for value, _ in runs]
        cells.append(f"{fmt_gap(gaps)}, {fmt_time(statistics.median(t for _, t in runs))}")
    return cells


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exact", type=int, nargs="*", default=[10, 30, 100], help="sizes compared with the optimum")
    parser.add_argument("--bound", type=int, nargs="*", default=[200], help="sizes compared with the fractional bound")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", type=Path, default=HERE / "quality.md")
    args = parser.parse_args()

    header = ["grid", "family", "budget", "reference (its time)", *(f"{name}: gap, time" for name in SOLVERS)]
    rows = []
    jobs = [(s, True) for s in args.exact] + [(s, False) for s in args.bound]
    for size, exact in jobs:
        for family in FAMILIES:
            for budget in BUDGETS:
                rows.append(measure(size, family, budget, exact, args.repeats))
                print(" | ".join(rows[-1]), file=sys.stderr, flush=True)

    note = machine_note("python benchmarks/quality.py", args.repeats) + (
        " The three families of instances.py, no discounts. Gap: mean over the runs, (smallest–largest)"
        " when they differ; time: median.")
    text = f"{markdown_table(header, rows)}\n\n{note}\n"
    args.out.write_text("# Answer quality\n\n" + text)
    print(text)


if __name__ == "__main__":
    main()
