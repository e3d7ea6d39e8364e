"""How solve time grows with the grid: both solvers, default parameters.

    python benchmarks/scaling.py [--sizes 10 20 30 50 70 100 150] [--repeats 3]

Square grids of the uncorrelated family (see instances.py) at budgets of 10%
and 50% of the total resource use; every size is solved --repeats times and
the median is kept. Prints a Markdown table with the exponent k of a fit
time ~ (m·n)^k over the larger half of the sizes, writes it to
benchmarks/scaling.md and draws benchmarks/scaling.png (matplotlib, the
optional 'bench' dependency). The default sizes take a few minutes on two
cores, most of it the ant colony on the largest grids.
"""

from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

import numpy as np

from instances import SOLVERS, fmt_time, machine_note, make_instance, markdown_table, timed

HERE = Path(__file__).resolve().parent
BUDGETS = (0.1, 0.5)
NATIVE = ("probabilistic", "ant colony")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="*", default=[10, 20, 30, 50, 70, 100, 150])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    times = {}  # (solver, budget) -> list of median seconds, one per size
    for budget in BUDGETS:
        for size in args.sizes:
            inst = make_instance("uncorrelated", size, size, budget, seed=size)
            for solver in NATIVE:
                runs = [timed(SOLVERS[solver], inst)[1] for _ in range(args.repeats)]
                times.setdefault((solver, budget), []).append(statistics.median(runs))
                print(solver, budget, size, fmt_time(times[solver, budget][-1]), file=sys.stderr, flush=True)

    cells = np.array([s * s for s in args.sizes], dtype=float)
    header = ["grid", "m·n", *(f"{s}, budget {b:.0%}" for b in BUDGETS for s in NATIVE)]
    rows = [[f"{s}×{s}", str(s * s), *(fmt_time(times[s2, b][i]) for b in BUDGETS for s2 in NATIVE)]
            for i, s in enumerate(args.sizes)]
    larger = slice(len(args.sizes) // 2, None)
    exponents = {key: np.polyfit(np.log(cells[larger]), np.log(np.array(t)[larger]), 1)[0]
                 for key, t in times.items()}
    rows.append(["fit: time ~ (m·n)^k", "k =", *(f"{exponents[s, b]:.2f}" for b in BUDGETS for s in NATIVE)])
    note = machine_note("python benchmarks/scaling.py", args.repeats) + (
        " Uncorrelated family, no discounts; median solve time; k fitted over the larger half of the sizes.")
    text = f"{markdown_table(header, rows)}\n\n{note}\n"
    (HERE / "scaling.md").write_text("# Solve time against grid size\n\n" + text)
    print(text)
    plot(cells, times, HERE / "scaling.png")


def plot(cells: np.ndarray, times: dict, path: Path) -> None:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot (pip install '.[bench]')", file=sys.stderr)
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7.5, 5))
    colours = {"probabilistic": "tab:blue", "ant colony": "tab:red"}
    for (solver, budget), t in times.items():
        ax.loglog(cells, t, marker="o", color=colours[solver], linestyle="-" if budget == BUDGETS[0] else "--",
                  label=f"{solver}, budget {budget:.0%}")
    ax.set_xlabel("cells m·n")
    ax.set_ylabel("median solve time (s)")
    ax.set_title("Solve time against grid size (default parameters)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print(f"wrote {path}", file=sys.stderr)


if __name__ == "__main__":
    main()
