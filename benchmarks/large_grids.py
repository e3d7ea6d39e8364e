"""Large grids: the time of one colony iteration, of a short probabilistic
solve, and the peak memory, at 1000², 2000² and 3000² cells.

    python benchmarks/large_grids.py                   # 1000, 2000 and 3000
    python benchmarks/large_grids.py --sizes 300 1000  # skip the slow ones
    python benchmarks/large_grids.py --budget 0.5 --repeats 5

Every measurement runs in a fresh Python process, so that its peak resident
memory (VmHWM) belongs to that solve alone: the process builds one
uncorrelated task (c and b_ij uniform on [1, 100], no discount, budget a
share of the total resource use; see instances.py), notes its resident
memory, then solves --repeats times and reports the median time and the
peak. The colony runs one iteration of its default 20 ants
(AntColonyAssignmentSolver(kmax=1)); the probabilistic solver runs
kmax = 10 constructions. Both use the default worker pool. Prints a Markdown
table and writes it to benchmarks/large_grids.md.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap
from pathlib import Path

from instances import fmt_time, machine_note, markdown_table

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
    instance = make_instance("uncorrelated", size, size, budget, seed=size)
    without_task = mib("VmRSS")
    task = instance.task()
    if kind == "colony":
        solver = allotra.AntColonyAssignmentSolver(kmax=1)
    else:
        solver = allotra.ProbabilisticAssignmentSolver(kmax=10)
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


def measure(kind: str, size: int, budget: float, repeats: int) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", CHILD, kind, str(size), str(budget), str(repeats), str(HERE)],
        capture_output=True, text=True, check=True,
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 2000, 3000])
    parser.add_argument("--budget", type=float, default=0.2, help="budget as a share of the total use")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    rows = []
    for size in args.sizes:
        colony = measure("colony", size, args.budget, args.repeats)
        probabilistic = measure("probabilistic", size, args.budget, args.repeats)
        cells = size * size

        def per_cell(result: dict) -> str:
            # One solve's peak above the process before it built the Task:
            # the Task's own 24 bytes a cell count with the solve's. Later
            # solves of the same process can only raise the peak (the
            # allocator keeps some of what the first freed).
            return f"{(result['first_peak_mib'] - result['without_task_mib']) * 2**20 / cells:.1f}"

        rows.append([
            f"{size}×{size}",
            fmt_time(colony["median_s"]),
            fmt_time(probabilistic["median_s"]),
            f"{colony['before_mib']:.0f} MiB",
            f"{colony['peak_mib']:.0f} MiB",
            f"{probabilistic['peak_mib']:.0f} MiB",
            per_cell(colony),
            per_cell(probabilistic),
        ])
        print(f"{size}×{size} done", file=sys.stderr, flush=True)

    header = ["grid", "one colony iteration (20 ants)", "probabilistic, kmax=10", "process with the task",
              "peak, colony", "peak, probabilistic", "colony, B a cell", "probabilistic, B a cell"]
    command = "python benchmarks/large_grids.py " + " ".join(sys.argv[1:])
    text = "\n\n".join([
        "# Large grids",
        markdown_table(header, rows),
        machine_note(command.strip(), args.repeats)
        + f" Uncorrelated family, budget {args.budget:.0%} of the total use; median time; memory is the"
        " resident size of a fresh process holding the task, and its peak (VmHWM) over the solves; bytes a"
        " cell: the peak of the first solve above the process before it built the task (whose own 24 bytes a"
        " cell count), over m·n.",
    ])
    print(text)
    (HERE / "large_grids.md").write_text(text + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
