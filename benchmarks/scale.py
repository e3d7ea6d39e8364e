"""One construction against the memory floor, before and after, in one run.

    python benchmarks/scale.py [--base REVISION] [--sizes 30,100,300,1000] [--quick]

1. Builds benchmarks/bench_construction (CMake, Release) twice in temporary
   directories: from this working tree, and from REVISION (default: the last
   revision before the 8-ary sum tree), checked out as a temporary git
   worktree with this tree's bench_construction.cpp (and its header) copied in.
2. For every grid, measures the floor with NumPy in this process: one
   streaming pass over m*n doubles (np.cumsum), median of many.
3. Times single constructions with one worker (RAYON_NUM_THREADS=1) for both
   solvers, three families of tasks (c independent of b_ij, weakly and
   strongly correlated) and budgets of 10% and 50% of the total use, old and
   new revision alternating, and prints construction time / floor.
4. Times one whole colony iteration at 1000 x 1000 (bench_solvers, kmax=1,
   default num_ants) with one worker and with the default pool, and the peak
   memory of the probabilistic solver for two kmax.
5. Writes benchmarks/scale.md and benchmarks/scale.png (matplotlib, the
   optional 'bench' dependency): time per construction against m*n, log-log,
   with the floor.

The machines are shared and noisy: every figure is a median, both revisions
and the floor are measured in the same run, and nothing is checked against a
goal.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from run_benchmarks import cmake_binary, markdown_table, pyplot

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# The last revision whose constructions copied a binary sum tree per construction.
DEFAULT_BASE = "db25bc4"
SOLVERS = ("probabilistic", "ant")
FAMILIES = ("uncorrelated", "weak", "strong")
BUDGETS = (10, 50)


def build(source: Path, directory: Path, targets: list[str]) -> Path:
    cmake = cmake_binary()
    commands = [
        [cmake, "-S", str(source), "-B", str(directory), "-DCMAKE_BUILD_TYPE=Release",
         "-DALLOTRA_MODULE=OFF", "-DALLOTRA_BENCHMARKS=ON"],
        [cmake, "--build", str(directory), "--parallel", "2", "--target", *targets],
    ]
    for command in commands:
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(done.stdout + done.stderr)
    return directory / "benchmarks"


def floor_seconds(cells: int) -> float:
    import numpy as np

    values = np.random.default_rng(cells).random(cells)
    out = np.empty_like(values)
    repeats = max(21, min(2001, 20_000_000 // max(cells, 1)))
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        np.cumsum(values, out=out)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def one_worker() -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["RAYON_NUM_THREADS"] = "1"
    return env


def construction(binary: Path, solver: str, family: str, budget: int, size: int, repeats: int) -> dict:
    command = [str(binary / "bench_construction"), solver, family, str(budget), str(size), str(size), str(repeats)]
    line = subprocess.run(command, capture_output=True, text=True, check=True, env=one_worker()).stdout.split()
    return {"median": float(line[6]), "prepare": float(line[8]), "cells": float(line[9])}


def peak_of(command: list[str], env: dict[str, str]) -> tuple[float, float, float]:
    """Wall seconds, peak resident MiB and CPU seconds (all threads) of a child process."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    output = child.stdout.read().decode() if child.stdout else ""
    if child.returncode != 0:
        sys.exit(f"{command} failed")
    seconds = float(output.split()[6]) if output.strip() else time.perf_counter() - start
    return seconds, usage.ru_maxrss / 1024.0, usage.ru_utime + usage.ru_stime


def fmt(seconds: float) -> str:
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} µs"


def plot(results: dict, floors: dict[int, float], sizes: list[int], path: Path) -> bool:
    plt = pyplot()
    if plt is None:
        return False
    figure, axes = plt.subplots(figsize=(7, 5))
    cells = [size * size for size in sizes]
    colours = {"probabilistic": "tab:blue", "ant": "tab:red"}
    for solver in SOLVERS:
        for revision, style in (("before", "--"), ("after", "-")):
            times = [results[(revision, solver, "uncorrelated", 50, size)]["median"] for size in sizes]
            axes.plot(cells, times, style, marker="o", color=colours[solver], label=f"{solver}, {revision}")
    axes.plot(cells, [floors[size] for size in sizes], ":", marker="s", color="black",
              label="floor: np.cumsum over m·n doubles")
    for factor in (20, 30):
        axes.plot(cells, [factor * floors[size] for size in sizes], ":", color="grey", linewidth=0.8)
        axes.annotate(f"{factor}× floor", (cells[-1], factor * floors[sizes[-1]]), fontsize=8, color="grey")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("cells (m × n)")
    axes.set_ylabel("one construction, seconds (median, one worker)")
    axes.set_title("one construction, uncorrelated, budget 50% of the total use")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", default=DEFAULT_BASE, help="the revision to compare against")
    parser.add_argument("--sizes", default="30,100,300,1000", help="square grid sizes")
    parser.add_argument("--quick", action="store_true", help="uncorrelated 50%% only, no colony or memory runs")
    arguments = parser.parse_args()
    sizes = [int(size) for size in arguments.sizes.split(",")]
    started = time.monotonic()
    load_at_start = os.getloadavg()[0]

    with tempfile.TemporaryDirectory(prefix="allotra-scale-") as scratch:
        scratch_path = Path(scratch)
        print("building this tree ...", flush=True)
        new = build(ROOT, scratch_path / "new", ["bench_construction", "bench_solvers"])
        print(f"building {arguments.base} ...", flush=True)
        old_source = scratch_path / "old-source"
        subprocess.run(["git", "-C", str(ROOT), "worktree", "add", "--detach", str(old_source), arguments.base],
                       check=True, capture_output=True)
        try:
            for name in ("bench_construction.cpp", "bench_common.hpp"):
                shutil.copy(HERE / name, old_source / "benchmarks")
            shutil.copy(HERE / "CMakeLists.txt", old_source / "benchmarks")
            old = build(old_source, scratch_path / "old", ["bench_construction"])
        finally:
            subprocess.run(["git", "-C", str(ROOT), "worktree", "remove", "--force", str(old_source)],
                           capture_output=True)
        revisions = {"before": old, "after": new}

        floors: dict[int, float] = {}
        results: dict[tuple, dict] = {}
        families = ("uncorrelated",) if arguments.quick else FAMILIES
        budgets = (50,) if arguments.quick else BUDGETS
        for size in sizes:
            floors[size] = floor_seconds(size * size)
            repeats = 5 if size >= 1000 else 9
            for solver in SOLVERS:
                for family in families:
                    for budget in budgets:
                        for revision, binary in revisions.items():
                            results[(revision, solver, family, budget, size)] = construction(
                                binary, solver, family, budget, size, repeats)
                        before = results[("before", solver, family, budget, size)]["median"]
                        after = results[("after", solver, family, budget, size)]["median"]
                        print(f"  {size}x{size} {solver:13} {family:12} {budget:2}%: before {fmt(before):>9}"
                              f" ({before / floors[size]:6.1f}x floor), after {fmt(after):>9}"
                              f" ({after / floors[size]:6.1f}x floor)", flush=True)
            # The floor again after the grid's runs: the median of both.
            floors[size] = statistics.median([floors[size], floor_seconds(size * size)])

        colony_rows: list[list[str]] = []
        memory_rows: list[list[str]] = []
        if not arguments.quick and 1000 in sizes:
            print("\ncolony iteration at 1000x1000 (bench_solvers ant, kmax=1, 20 ants):", flush=True)
            pooled_env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
            command = [str(new / "bench_solvers"), "ant", "module", "1000", "1000", "1", "1"]
            ones, pools = [], []
            for _ in range(2):
                ones.append(peak_of(command, one_worker()))
                pools.append(peak_of(command, pooled_env))
            one = min(ones, key=lambda run: run[0])
            pooled = min(pools, key=lambda run: run[0])
            processors = os.cpu_count() or 1
            speedup = one[0] / pooled[0]
            colony_rows.append([fmt(one[0]), fmt(pooled[0]), f"{speedup:.2f}×",
                                f"{100 * speedup / processors:.0f}%", fmt(one[2]), fmt(pooled[2])])
            print(f"  1 worker {fmt(one[0])} (CPU {fmt(one[2])}), {processors} workers {fmt(pooled[0])}"
                  f" (CPU {fmt(pooled[2])}): speed-up {speedup:.2f}x, efficiency {100 * speedup / processors:.0f}%",
                  flush=True)
            print("\npeak memory, probabilistic solver at 1000x1000 (bench_solvers):", flush=True)
            for kmax in (4, 16):
                seconds, peak, _ = peak_of([str(new / "bench_solvers"), "probabilistic", "module", "1000", "1000", "1",
                                         str(kmax)], pooled_env)
                memory_rows.append([str(kmax), f"{peak:.1f}"])
                print(f"  kmax={kmax}: peak {peak:.1f} MiB ({fmt(seconds)})", flush=True)

    load_at_end = os.getloadavg()[0]
    header = ["grid", "solver", "family", "budget", "before", "after", "floor", "before × floor", "after × floor"]
    rows = []
    for size in sizes:
        for solver in SOLVERS:
            for family in families:
                for budget in budgets:
                    before = results[("before", solver, family, budget, size)]["median"]
                    after = results[("after", solver, family, budget, size)]["median"]
                    rows.append([f"{size}×{size}", solver, family, f"{budget}%", fmt(before), fmt(after),
                                 fmt(floors[size]), f"{before / floors[size]:.1f}", f"{after / floors[size]:.1f}"])
    print()
    print(markdown_table(header, rows))
    has_plot = plot(results, floors, sizes, HERE / "scale.png")
    parts = [
        "# One construction against the floor",
        "",
        f"Written by `benchmarks/scale.py` on {time.strftime('%Y-%m-%d')} ({os.cpu_count()} logical processors,"
        f" shared with other work: load average {load_at_start:.1f} when the run started and {load_at_end:.1f}"
        " when it ended). Before: "
        f"`{arguments.base}`; after: this tree. One construction on the calling thread with one worker"
        " (median); floor: `np.cumsum` over m·n doubles in the same run (median).",
        "Tasks: b_ij in [1, 100], omega in [0, 0.3]; c independent of b_ij (uncorrelated), within ±10 of it"
        " (weak) or b_ij + 10 (strong); budget 10% or 50% of the sum of b_ij.",
        "",
        markdown_table(header, rows),
    ]
    if has_plot:
        parts += ["", "![one construction against the number of cells](scale.png)"]
    if colony_rows:
        parts += ["", "## One colony iteration at 1000×1000", "",
                  "`bench_solvers ant module 1000 1000 1 1` (20 ants, one iteration, including the per-cell passes),"
                  " fastest of 2 runs each, with the CPU time of all the process's threads in the same run"
                  " (the setup of the solve, on the calling thread, is part of both):", "",
                  markdown_table(["1 worker", "default pool", "speed-up", "efficiency", "CPU, 1 worker",
                                  "CPU, default pool"], colony_rows)]
    if memory_rows:
        parts += ["", "## Peak memory, probabilistic solver at 1000×1000", "",
                  "Peak resident memory of `bench_solvers probabilistic module 1000 1000 1 KMAX`"
                  " (the task's three matrices are 23 MiB of it):", "",
                  markdown_table(["kmax", "peak (MiB)"], memory_rows)]
    (HERE / "scale.md").write_text("\n".join(parts) + "\n")
    print(f"\nwrote {HERE / 'scale.md'}" + (f" and {HERE / 'scale.png'}" if has_plot else "")
          + f" in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
