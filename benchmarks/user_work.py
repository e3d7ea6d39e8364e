"""The work users run, through the module, this tree against a base revision.

For each grid size, with and without discounts (instances.py), both solvers:

- the whole default solve (ProbabilisticAssignmentSolver(),
  AntColonyAssignmentSolver()), the fastest of its repeats;
- the first answer, at 1000 x 1000 and above: a probabilistic solve with
  kmax=1, and the colony's first iteration (a solve with kmax=1: the
  iteration of 20 ants with the solve's setup);
- at the largest size, the bytes a cell of the whole default solve, Task
  included, for a caller who keeps the input arrays and for one who frees
  them before the solve (freeing large arrays raises glibc's mmap
  threshold, so a solver that takes its large buffers from the heap keeps
  them resident): the peak (VmHWM, reset just before the solve) above the
  resident memory just before it, plus what building the Task added.

Times are multiples of one np.cumsum over m*n doubles in the same process.
Each measurement is a fresh Python process importing the module built from
that revision (CMake, Release, in a temporary folder); the builds alternate
in every round, and the figures are the fastest of the rounds.

    python benchmarks/scale.py --users-only [--base REV] [--sizes 100,300]
        [--rounds 2] [--families uncorrelated,strongly correlated]
        [--memory-kmax 5]
"""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

from instances import family_label, markdown_table

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUDGET = 0.5
# Sizes from which the first answer is measured.
FIRST_ANSWER_FROM = 1000
SOLVERS = ("probabilistic", "colony")

CHILD = textwrap.dedent(
    """
    import gc, json, statistics, sys, time
    module_dir, bench_dir = sys.argv[1], sys.argv[2]
    sys.path.insert(0, module_dir)
    sys.path.insert(1, bench_dir)
    import numpy as np
    import allotra
    from instances import make_instance

    solver_name, family, discounts = sys.argv[3], sys.argv[4], sys.argv[5] == "1"
    size, kmax, repeats, frees = int(sys.argv[6]), int(sys.argv[7]), int(sys.argv[8]), sys.argv[9] == "1"

    def status(field):
        with open("/proc/self/status") as lines:
            for line in lines:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    def cumsum_seconds(cells):
        values = np.random.default_rng(cells).random(cells)
        out = np.empty_like(values)
        times = []
        for _ in range(max(21, min(2001, 20_000_000 // cells))):
            start = time.perf_counter()
            np.cumsum(values, out=out)
            times.append(time.perf_counter() - start)
        return statistics.median(times)

    # The floor comes after the solves: its arrays, freed before the task
    # was built, would raise glibc's mmap threshold for both orders.
    instance = make_instance(family, size, size, 0.5, seed=size, discounts=discounts)
    gc.collect()
    without_task = status("VmRSS")
    task = instance.task()
    task_bytes = status("VmRSS") - without_task
    if frees:
        del instance
        gc.collect()
    if solver_name == "colony":
        solver = allotra.AntColonyAssignmentSolver(kmax=kmax)
    else:
        solver = allotra.ProbabilisticAssignmentSolver(kmax=kmax)
    before = status("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the resident memory now
        reset = True
    except OSError:
        reset = False
    seconds = []
    peak = None
    for _ in range(repeats):
        start = time.perf_counter()
        solver.solve(task)
        seconds.append(time.perf_counter() - start)
        if peak is None:
            peak = status("VmHWM")
    per_cell = (peak - before + task_bytes) / (size * size) if reset else float("nan")
    floor = cumsum_seconds(size * size)
    print(json.dumps({"seconds": min(seconds), "floor": floor, "bytes_a_cell": per_cell}))
    """
)


def build_module(source: Path, directory: Path) -> Path:
    """The folder holding the extension module built from `source`."""
    from run_benchmarks import cmake_binary

    cmake = cmake_binary()
    for command in (
        [cmake, "-S", str(source), "-B", str(directory), "-DCMAKE_BUILD_TYPE=Release",
         f"-DPython_EXECUTABLE={sys.executable}"],
        [cmake, "--build", str(directory), "--parallel", "2", "--target", "allotra"],
    ):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(done.stdout + done.stderr)
    found = sorted((directory / "src" / "lib").glob("allotra*.so"))
    if not found:
        sys.exit(f"no module built in {directory}")
    return found[0].parent


def build_base_module(revision: str, scratch: Path) -> Path:
    source = scratch / "base-module-source"
    subprocess.run(["git", "-C", str(ROOT), "worktree", "add", "--detach", str(source), revision],
                   check=True, capture_output=True)
    try:
        return build_module(source, scratch / "base-module")
    finally:
        subprocess.run(["git", "-C", str(ROOT), "worktree", "remove", "--force", str(source)], capture_output=True)


def measure(module: Path, solver: str, family: str, discounts: bool, size: int, kmax: int, repeats: int,
            frees: bool = False) -> dict:
    command = [sys.executable, "-c", CHILD, str(module), str(HERE), solver, family, "1" if discounts else "0",
               str(size), str(kmax), str(repeats), "1" if frees else "0"]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command[3:])} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def repeats_at(size: int) -> int:
    return 5 if size <= 100 else 3 if size <= 300 else 1


def run(base: str, sizes: list[int], rounds: int, families: list[str], memory_kmax: int) -> list[str]:
    """Measures everything, alternating the builds; returns the Markdown."""
    import tempfile

    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="allotra-users-") as scratch_name:
        scratch = Path(scratch_name)
        print("building this tree's module ...", flush=True)
        builds = {"after": build_module(ROOT, scratch / "module")}
        print(f"building {base}'s module ...", flush=True)
        builds["before"] = build_base_module(base, scratch)
        largest = max(sizes)
        # (what, solver, family, discounts, size) -> label -> [results]
        results: dict[tuple, dict[str, list[dict]]] = {}

        def each(key: tuple, *arguments, **options) -> None:
            for label in ("before", "after"):
                result = measure(builds[label], *arguments, **options)
                results.setdefault(key, {}).setdefault(label, []).append(result)

        for round_ in range(rounds):
            print(f"round {round_ + 1} of {rounds}", flush=True)
            for family in families:
                for discounts in (False, True):
                    for size in sizes:
                        for solver in SOLVERS:
                            # The whole default solve; at the largest size it
                            # also gives the bytes a cell of a caller who
                            # keeps the arrays.
                            each(("whole", solver, family, discounts, size), solver, family, discounts, size, 100,
                                 repeats_at(size))
                            if size >= FIRST_ANSWER_FROM:
                                each(("first", solver, family, discounts, size), solver, family, discounts, size, 1,
                                     3)
                            if size == largest and round_ == 0:
                                kmax = 100 if solver == "probabilistic" else memory_kmax
                                each(("frees", solver, family, discounts, size), solver, family, discounts, size,
                                     kmax, 1, frees=True)
                                if kmax != 100:
                                    each(("keeps", solver, family, discounts, size), solver, family, discounts,
                                         size, kmax, 1)
                        print(f"  {family_label(family, discounts)}, {size}x{size} done", flush=True)

    def best(key: tuple, label: str) -> float:
        return min(r["seconds"] / r["floor"] for r in results[key][label])

    def pair(key: tuple) -> str:
        return f"{best(key, 'before'):,.1f} → {best(key, 'after'):,.1f}"

    solve_rows, first_rows, memory_rows = [], [], []
    for family in families:
        for discounts in (False, True):
            name = family_label(family, discounts)
            for size in sizes:
                solve_rows.append([name, f"{size}²"] + [pair(("whole", s, family, discounts, size)) for s in SOLVERS])
                if size >= FIRST_ANSWER_FROM:
                    first_rows.append([name, f"{size}²"]
                                      + [pair(("first", s, family, discounts, size)) for s in SOLVERS])
            for solver in SOLVERS:
                kept_key = ("keeps" if solver == "colony" and memory_kmax != 100 else "whole",
                            solver, family, discounts, largest)
                freed_key = ("frees", solver, family, discounts, largest)
                cells = []
                for label in ("before", "after"):
                    cells.append(f"{results[kept_key][label][0]['bytes_a_cell']:.1f}")
                    cells.append(f"{results[freed_key][label][0]['bytes_a_cell']:.1f}")
                memory_rows.append([name, solver, f"{largest}²"] + cells)
    colony_kmax = "whole default solve" if memory_kmax == 100 else f"solve of {memory_kmax} iterations"
    parts = [
        "## The work users run",
        "",
        f"Through the module: this tree (after) against `{base}` (before), each measurement a fresh Python process,"
        f" the builds alternating, the fastest of {rounds} round(s); {BUDGET:.0%} budget, the default pool. Times"
        " are multiples of one `np.cumsum` over m·n doubles in the same process. Written by"
        f" `python benchmarks/scale.py --users-only` in {time.monotonic() - started:.0f} s.",
        "",
        "Whole default solves (`ProbabilisticAssignmentSolver()`, `AntColonyAssignmentSolver()`), before → after:",
        "",
        markdown_table(["family", "grid", "probabilistic", "colony"], solve_rows),
    ]
    if first_rows:
        parts += ["", "The first answer: a probabilistic solve with `kmax=1`, and the colony's first iteration (a"
                  " solve with `kmax=1`: 20 ants and the solve's setup), before → after:", "",
                  markdown_table(["family", "grid", "probabilistic, kmax=1", "colony, first iteration"], first_rows)]
    parts += ["", f"Bytes a cell at {largest}², Task included (the peak of the solve above the resident memory just"
              " before it, plus what building the Task added), for a caller who keeps the input arrays and for one"
              f" who frees them before the solve (nothing else freed before it in the process); the probabilistic"
              f" solver's whole default solve, the colony's {colony_kmax}:",
              "", markdown_table(["family", "solver", "grid", "before, keeps", "before, frees", "after, keeps",
                                  "after, frees"], memory_rows)]
    return parts


def main_users(base: str, sizes: list[int], rounds: int, families: list[str], memory_kmax: int) -> None:
    if not shutil.which("git"):
        sys.exit("git is needed to build the base revision")
    parts = run(base, sizes, rounds, families, memory_kmax)
    text = "\n".join(parts)
    print()
    print(text)
    (HERE / "user_work.md").write_text("# The work users run\n\n" + "\n".join(parts[2:]) + "\n", encoding="utf-8")
    print(f"\nwrote {HERE / 'user_work.md'}")
