"""Large grids: the time of the colony's first iteration and of whole default
solves, and the peak memory, at 1000², 2000² and 3000² cells and budgets of
20% and 50%.

    python benchmarks/large_grids.py                   # 1000, 2000 and 3000
    python benchmarks/large_grids.py --sizes 300 1000  # skip the slow ones
    python benchmarks/large_grids.py --budgets 0.5 --repeats 5
    python benchmarks/large_grids.py --discounts       # omega uniform in [0, 0.5]

Every measurement runs in a fresh Python process, so that its peak resident
memory (VmHWM) belongs to that solve alone: the process builds one
uncorrelated task (c and b_ij uniform on [1, 100], no discount or with
--discounts omega uniform on [0, 0.5], budget a share of the total resource
use; see instances.py), notes its resident memory, then solves and reports
the median time and the peak. The colony's first iteration, 20 ants with the
solve's setup (a solve with AntColonyAssignmentSolver(kmax=1)), is solved
--repeats times; the whole default solves (the colony's 100
iterations, the probabilistic solver's 100 constructions) once each, and
their peaks give the bytes a cell. All use the default worker pool. Prints a
Markdown table and writes it to benchmarks/large_grids.md.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap
from pathlib import Path

from instances import family_label, fmt_time, machine_note, markdown_table

HERE = Path(__file__).resolve().parent

CHILD = textwrap.dedent(
    """
    import json, resource, sys, time
    sys.path.insert(0, sys.argv[5])
    import allotra
    from instances import make_instance

    def mib(field):
        try:
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith(field + ":"):
                        return int(line.split()[1]) / 1024.0
        except OSError:
            pass
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # Linux counts KiB

    kind, size, budget, repeats = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    instance = make_instance("uncorrelated", size, size, budget, seed=size, discounts=sys.argv[6] == "1")
    without_task = mib("VmRSS")
    task = instance.task()
    if kind == "iteration":
        solver = allotra.AntColonyAssignmentSolver(kmax=1)
    elif kind == "colony":
        solver = allotra.AntColonyAssignmentSolver()
    else:
        solver = allotra.ProbabilisticAssignmentSolver()
    before = mib("VmRSS")
    times = []
    first_peak = None
    for _ in range(repeats):
        start = time.perf_counter()
        solver.solve(task)
        times.append(time.perf_counter() - start)
        if first_peak is None:
            first_peak = mib("VmHWM")
    times.sort()
    print(json.dumps({"median_s": times[len(times) // 2], "before_mib": before, "peak_mib": mib("VmHWM"),
                      "without_task_mib": without_task, "first_peak_mib": first_peak}))
    """
)


def measure(kind: str, size: int, budget: float, repeats: int, discounts: bool) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", CHILD, kind, str(size), str(budget), str(repeats), str(HERE), "1" if discounts else "0"],
        capture_output=True, text=True, check=True,
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 2000, 3000])
    parser.add_argument("--budgets", type=float, nargs="+", default=[0.2, 0.5],
                        help="budgets as shares of the total use")
    parser.add_argument("--repeats", type=int, default=3, help="solves of the colony's first iteration")
    parser.add_argument("--discounts", action="store_true", help="discounts uniform in [0, 0.5] (default: none)")
    args = parser.parse_args()

    rows = []
    for size in args.sizes:
        for budget in args.budgets:
            iteration = measure("iteration", size, budget, args.repeats, args.discounts)
            colony = measure("colony", size, budget, 1, args.discounts)
            probabilistic = measure("probabilistic", size, budget, 1, args.discounts)
            cells = size * size

            def per_cell(result: dict) -> str:
                # One solve's peak above the process before it built the Task:
                # the Task's own 24 bytes a cell count with the solve's.
                return f"{(result['first_peak_mib'] - result['without_task_mib']) * 2**20 / cells:.0f}"

            rows.append([
                f"{size} × {size}",
                f"{budget:.0%}",
                fmt_time(iteration["median_s"]),
                fmt_time(colony["median_s"]),
                fmt_time(probabilistic["median_s"]),
                per_cell(colony),
                per_cell(probabilistic),
            ])
            print(f"{size}×{size} at {budget:.0%} done", file=sys.stderr, flush=True)

    header = ["grid", "budget", "colony's first iteration (kmax=1)", "colony solve", "probabilistic solve",
              "B a cell, colony", "B a cell, probabilistic"]
    command = "python benchmarks/large_grids.py " + " ".join(sys.argv[1:])
    text = "\n\n".join([
        "# Large grids",
        markdown_table(header, rows),
        machine_note(command.strip(), args.repeats)
        + f" Family: {family_label('uncorrelated', args.discounts)}; budget a share of the total use; the"
        " colony's first iteration (a solve with kmax=1: 20 ants and the solve's setup, which later iterations do"
        " not pay): the median of the repeats; the whole default solves (100 colony iterations of 20 ants; 100"
        " probabilistic constructions) once each; bytes a cell: the peak (VmHWM) of the whole solve above"
        " the process before it built the task (whose own 24 bytes a cell count), over m·n.",
    ])
    print(text)
    (HERE / "large_grids.md").write_text(text + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
