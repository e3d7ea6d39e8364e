"""One construction against the memory floor, before and after, in one run.

    python benchmarks/scale.py [--base REVISION] [--sizes 100,300,1000,2000] [--quick]

1. Builds benchmarks/bench_construction and bench_solvers (CMake, Release)
   twice in temporary directories: from this working tree, and from REVISION
   (default: DEFAULT_BASE),
   checked out as a temporary git worktree with this tree's benchmark
   sources copied in.
2. For every grid, measures two floors with NumPy in this process: one
   streaming pass that writes (np.cumsum over m*n doubles) and a plain read
   (np.sum), median of many.
3. Times single constructions with one worker (RAYON_NUM_THREADS=1) for both
   solvers, tasks whose c is independent of b_ij (uncorrelated), within 10 of
   it (weak) or b_ij + 10 (correlated), and budgets of 10% and 50% of the total use: the old
   revision, this tree with its run-time choice of SIMD code ("dispatch") and
   this tree with the portable code forced (ALLOTRA_SIMD=portable),
   alternating, and prints construction time / floor. With them, the
   preparation: once per solve for the probabilistic solver (shown amortised
   over kmax = 100), every iteration for the colony (shown as one iteration of
   20 ants with its preparation).
4. Times whole solves with the default parameters on the default pool at
   1000 x 1000 (budgets 20% and 50%): this tree for both solvers, the old
   revision for the probabilistic solver and for 5 colony iterations (scaled
   to 100). Peak memory of the probabilistic solver for two kmax and of the
   colony for two num_ants.
5. Times one colony construction at 1000 x 1000 on tasks with a share of
   negative amounts (0% to 50%: c in [1, 1000), b_ij in [1, 100) with that
   share negated, budget half the amounts' sum before the negation), as a
   ratio to 0%, for this tree and NEGATIVE_BASE (default: the last revision
   that sorted every key once an amount was negative), with the peak resident
   memory of the one-worker process. This tree's ratios come from rounds that
   alternate each share with the 0% task, on CPU time, so that both meet the
   same load.
6. Writes benchmarks/scale.md and benchmarks/scale.png (matplotlib, the
   optional 'bench' dependency): time per construction against m*n, log-log,
   with the floor; and a table of the goals the constructions were built
   for, each figure beside its goal (with the peak memory of solves at
   2000 x 2000 and a 50% budget, from large_grids.py's measurement).

    python benchmarks/scale.py --negatives-only   # step 5 alone

7. Times one colony construction at 1000 x 1000 (one worker) on the pheromone
   after 30 iterations of a default colony, where the weights have spread
   by many octaves (the first iteration's uniform pheromone hides it), and
   whole default solves at 1000 x 1000, budget 50%, on the default pool
   (colony: 100 iterations of 20 ants; probabilistic: kmax 100) on each
   family of instances.py and on bench_solvers' task, before and after
   alternating, as multiples of one np.cumsum over the grid in this process;
   with each colony solve's iterations (the first, the second, and the
   median and largest of the third on, against the second).

    python benchmarks/scale.py --whole-solves-only   # step 7 alone

8. The work users run, through the module built from both revisions
   (user_work.py): whole default solves at every size of --sizes, the first
   answer (a kmax=1 probabilistic solve, the colony's first iteration) from
   1000 x 1000 on, and the bytes a cell at the largest size for a caller who
   keeps the input arrays and one who frees them, each family of --families
   with and without discounts, the builds alternating for --rounds rounds.
   Written into scale.md and user_work.md.

    python benchmarks/scale.py --users-only --sizes 100,300,1000,2000 --rounds 2   # step 8 alone
    python benchmarks/scale.py --users-only --sizes 300,1000 --memory-kmax 5      # a few minutes

The machines are shared and noisy: every figure is a median, and all
revisions and the floors are measured in the same run; the goals table only
sets figures beside goals, it fails nothing.
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
from user_work import main_users
from user_work import run as user_work_run

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# The revision before the quick sum went many lanes at a time and large
# buffers went straight to the system.
DEFAULT_BASE = "be12c3a"
# The last revision whose race sorted every key once an amount was negative.
NEGATIVE_BASE = "1fc5513"
NEGATIVE_SHARES = ("0", "0.01", "0.1", "1", "10", "50")
# Rounds of this tree's 0% task and each share, alternated.
NEGATIVE_ROUNDS = 3
# A construction of the old race with many negative amounts can run for
# minutes; it is stopped here.
NEGATIVE_TIMEOUT = 60.0
SOLVERS = ("probabilistic", "ant")
FAMILIES = {"uncorrelated": "uncorrelated", "weak": "weak", "correlated": "strong"}
BUDGETS = (10, 50)
# Budgets of the whole solves: bench_solvers' own default, and half.
SOLVE_BUDGETS = (20, 50)
PLOTTED_BUDGET = 10
# The colony's default ants an iteration, and the probabilistic solver's kmax.
ANTS = 20
KMAX = 100
FORMS = ("before", "dispatch", "portable")
# The colony iterations run before a construction is timed on their pheromone.
COLONY_ITERATIONS = 30
# bench_solvers' families: those of instances.py without and with discounts
# (in [0, 0.5]), and its own task.
SOLVE_FAMILIES = ("uncorrelated", "uncorrelated+discounts", "weak", "weak+discounts", "strong", "strong+discounts",
                  "task")


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


def floor_seconds(cells: int) -> dict[str, float]:
    """Median seconds of np.cumsum (a pass that writes) and np.sum (a plain
    read) over `cells` doubles."""
    import numpy as np

    values = np.random.default_rng(cells).random(cells)
    out = np.empty_like(values)
    repeats = max(21, min(2001, 20_000_000 // max(cells, 1)))
    times: dict[str, list[float]] = {"cumsum": [], "sum": []}
    for _ in range(repeats):
        start = time.perf_counter()
        np.cumsum(values, out=out)
        middle = time.perf_counter()
        np.sum(values)
        times["cumsum"].append(middle - start)
        times["sum"].append(time.perf_counter() - middle)
    return {name: statistics.median(runs) for name, runs in times.items()}


def pooled(portable: bool = False) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "ALLOTRA_SIMD")}
    if portable:
        env["ALLOTRA_SIMD"] = "portable"
    return env


def one_worker(portable: bool = False) -> dict[str, str]:
    env = pooled(portable)
    env["RAYON_NUM_THREADS"] = "1"
    return env


def construction(binary: Path, portable: bool, solver: str, family: str, budget: int, size: int,
                 repeats: int) -> dict:
    command = [str(binary / "bench_construction"), solver, FAMILIES[family], str(budget), str(size), str(size),
               str(repeats)]
    line = subprocess.run(command, capture_output=True, text=True, check=True,
                          env=one_worker(portable)).stdout.split()
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


def negative_construction(binary: Path, share: str, repeats: int) -> tuple[float | None, float]:
    """Median seconds of one colony construction at 1000 x 1000 (None past the
    timeout) and the peak resident MiB of the one-worker process."""
    command = [str(binary / "bench_construction"), "ant", f"negative{share}", "50", "1000", "1000", str(repeats)]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=one_worker())
    deadline = time.monotonic() + NEGATIVE_TIMEOUT * (repeats + 1)
    while True:
        pid, status, usage = os.wait4(child.pid, os.WNOHANG)
        if pid:
            child.returncode = os.waitstatus_to_exitcode(status)
            break
        if time.monotonic() > deadline:
            child.kill()
            _, status, _ = os.wait4(child.pid, 0)
            child.returncode = os.waitstatus_to_exitcode(status)
            child.stdout.close()
            return None, float("nan")
        time.sleep(0.05)
    line = child.stdout.read().decode().split()
    child.stdout.close()
    if child.returncode != 0:
        sys.exit(f"{command} failed")
    return float(line[6]), usage.ru_maxrss / 1024.0


def negative_cpu(binary: Path, share: str, repeats: int) -> float:
    """Median CPU seconds of one colony construction at 1000 x 1000 (one worker)."""
    command = [str(binary / "bench_construction"), "ant", f"negative{share}", "50", "1000", "1000", str(repeats)]
    line = subprocess.run(command, capture_output=True, text=True, check=True, env=one_worker()).stdout.split()
    return float(line[10])


def negative_rows(new: Path, old: Path) -> list[list[str]]:
    """The old revision once for each share (it is slow), against its own 0%;
    this tree in rounds that alternate each share with the 0% task, on CPU
    time, so that both sides of a ratio meet the same load."""
    rows: list[list[str]] = []
    base_before = None
    print("\ncolony construction at 1000x1000 with negative amounts, one worker (ratio to 0%):", flush=True)
    for share in NEGATIVE_SHARES:
        before, _ = negative_construction(old, share, 1)
        if share == "0":
            base_before = before
        zero, here = [], []
        for _ in range(NEGATIVE_ROUNDS):
            zero.append(negative_cpu(new, "0", 3))
            here.append(negative_cpu(new, share, 3))
        _, peak = negative_construction(new, share, 1)
        after = statistics.median(here)
        cells = [f"> {NEGATIVE_TIMEOUT:.0f} s" if before is None else fmt(before),
                 "—" if before is None or base_before is None else f"{before / base_before:.1f}×",
                 fmt(after), f"{after / statistics.median(zero):.1f}×", f"{peak:.0f}"]
        rows.append([f"{share}%"] + cells)
        print("  " + " | ".join(rows[-1]), flush=True)
    return rows


def fmt(seconds: float) -> str:
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} µs"


def plot(results: dict, floors: dict[int, dict[str, float]], sizes: list[int], path: Path) -> bool:
    plt = pyplot()
    if plt is None:
        return False
    figure, axes = plt.subplots(figsize=(7, 5))
    cells = [size * size for size in sizes]
    colours = {"probabilistic": "tab:blue", "ant": "tab:red"}
    for solver in SOLVERS:
        for form, style in (("before", "--"), ("dispatch", "-"), ("portable", "-.")):
            times = [results[(form, solver, "uncorrelated", PLOTTED_BUDGET, size)]["median"] for size in sizes]
            axes.plot(cells, times, style, marker="o", color=colours[solver], label=f"{solver}, {form}")
    axes.plot(cells, [floors[size]["cumsum"] for size in sizes], ":", marker="s", color="black",
              label="floor: np.cumsum over m·n doubles")
    axes.plot(cells, [floors[size]["sum"] for size in sizes], ":", marker="^", color="grey",
              label="np.sum over m·n doubles")
    for factor in (3, 10):
        axes.plot(cells, [factor * floors[size]["cumsum"] for size in sizes], ":", color="grey", linewidth=0.8)
        axes.annotate(f"{factor}× cumsum", (cells[-1], factor * floors[sizes[-1]]["cumsum"]), fontsize=8,
                      color="grey")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("cells (m × n)")
    axes.set_ylabel("one construction, seconds (median, one worker)")
    axes.set_title("one construction, uncorrelated, budget 10% of the total use")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    return True


# The goals of one construction on one worker, as multiples of np.cumsum over
# the grid: (grids, families or None for all, budget, at most).
CONSTRUCTION_GOALS = (
    ((1000, 2000), None, 10, 1.0),
    ((1000, 2000), None, 50, 2.0),
    ((300,), ("uncorrelated",), 10, 1.5),
    ((300,), ("uncorrelated",), 50, 2.0),
    ((100,), None, 10, 2.5),
    ((100,), None, 50, 2.5),
)
# Whole default solves at 1000 x 1000, 50% budget, 2 cores, as multiples of
# one np.cumsum; and bytes a cell at 2000 x 2000, 50% budget, task included.
SOLVE_GOALS = {"ant": 1800, "probabilistic": 68}
MEMORY_GOALS = {"colony": 80, "probabilistic": 64}


def goal_rows(results: dict, floors: dict[int, dict[str, float]], families: tuple[str, ...],
              solve_after: dict[tuple[str, str], float], memory: dict[str, float]) -> list[list[str]]:
    """Each goal beside this tree's figures (the range over solvers and
    families), and whether all of them meet it."""
    rows = []
    for grids, wanted, budget, limit in CONSTRUCTION_GOALS:
        chosen = tuple(f for f in families if wanted is None or f in wanted)
        ratios = [results[("dispatch", solver, family, budget, size)]["median"] / floors[size]["cumsum"]
                  for size in grids if size in floors for solver in SOLVERS for family in chosen
                  if ("dispatch", solver, family, budget, size) in results]
        if not ratios:
            continue
        grid_names = " and ".join(f"{size}×{size}" for size in grids)
        rows.append([f"one construction, {grid_names}, {', '.join(chosen)}, budget {budget}%", f"≤ {limit}×",
                     f"{min(ratios):.1f}–{max(ratios):.1f}×", "yes" if max(ratios) <= limit else "no"])
    for solver, limit in SOLVE_GOALS.items():
        multiples = [multiple for (_, each), multiple in solve_after.items() if each == solver]
        if multiples:
            rows.append([f"default {solver} solve, 1000×1000, budget 50%, 2 cores, each family of the whole"
                         " solves (× np.cumsum)", f"≤ {limit}", f"{min(multiples):,.0f}–{max(multiples):,.0f}",
                         "yes" if max(multiples) <= limit else "no"])
    for kind, limit in MEMORY_GOALS.items():
        if kind in memory:
            rows.append([f"{kind} solve, 2000×2000, budget 50%, bytes a cell, task included", f"≤ {limit}",
                         f"{memory[kind]:.1f}", "yes" if memory[kind] <= limit else "no"])
    return rows


def memory_per_cell(size: int, budget: float) -> dict[str, float]:
    """Bytes a cell of one solve of each kind, task included, measured as
    large_grids.py does (the installed module, a fresh process each)."""
    from large_grids import measure

    per_cell = {}
    for kind in MEMORY_GOALS:
        result = measure(kind, size, budget, 1)
        per_cell[kind] = (result["first_peak_mib"] - result["without_task_mib"]) * 2**20 / (size * size)
    return per_cell


def solve_row(binary: Path, solver: str, kmax: int, budget: int, env: dict[str, str]) -> tuple[float, float, float]:
    command = [str(binary / "bench_solvers"), solver, "module", "1000", "1000", "1", str(kmax), str(budget)]
    return peak_of(command, env)


def build_revision(revision: str, scratch_path: Path, name: str,
                   targets: tuple[str, ...] = ("bench_construction", "bench_solvers")) -> Path:
    """The benchmarks `targets` of `revision`, checked out as a temporary
    worktree with this tree's benchmark sources copied in."""
    source = scratch_path / f"{name}-source"
    subprocess.run(["git", "-C", str(ROOT), "worktree", "add", "--detach", str(source), revision],
                   check=True, capture_output=True)
    try:
        for file in ("bench_construction.cpp", "bench_common.hpp", "bench_solvers.cpp"):
            shutil.copy(HERE / file, source / "benchmarks")
        return build(source, scratch_path / name, list(targets))
    finally:
        subprocess.run(["git", "-C", str(ROOT), "worktree", "remove", "--force", str(source)], capture_output=True)


def colonies_and_solves(old: Path, new: Path, rounds: int,
                        solve_after: dict[tuple[str, str], float] | None = None) -> list[str]:
    """Step 7: the markdown of its two tables, printed as they are measured;
    each whole solve of this tree, × np.cumsum, into `solve_after`."""
    cumsum = statistics.median(floor_seconds(1000 * 1000)["cumsum"] for _ in range(3))
    print(f"\none colony construction at 1000x1000 after {COLONY_ITERATIONS} iterations (one worker),"
          f" x np.cumsum ({fmt(cumsum)}):", flush=True)
    construction_rows = []
    for family in FAMILIES:
        for budget in BUDGETS:
            times = {}
            for label, binary in (("before", old), ("after", new)):
                command = [str(binary / "bench_construction"), "ant", FAMILIES[family], str(budget), "1000", "1000",
                           "9", str(COLONY_ITERATIONS)]
                line = subprocess.run(command, capture_output=True, text=True, check=True,
                                      env=one_worker()).stdout.split()
                # CPU time: the machine is shared, and one worker's wall time
                # counts the others' work too.
                times[label] = (float(line[10]), float(line[8]))
            (before, before_prepare), (after, after_prepare) = times["before"], times["after"]
            construction_rows.append([family, f"{budget}%", f"{before / cumsum:.1f}", f"{after / cumsum:.1f}",
                                      f"{before_prepare / cumsum:.1f}", f"{after_prepare / cumsum:.1f}",
                                      f"{before / after:.2f}×"])
            print(f"  {family:12} {budget:2}%: before {before / cumsum:5.1f}x, after {after / cumsum:5.1f}x"
                  f" (preparation {before_prepare / cumsum:.1f}x, {after_prepare / cumsum:.1f}x)", flush=True)
    print(f"\nwhole default solves at 1000x1000, budget 50%, default pool, x np.cumsum ({fmt(cumsum)}),"
          f" {rounds} round(s) alternating:", flush=True)
    solve_rows = []
    for family in SOLVE_FAMILIES:
        for solver in SOLVERS:
            runs: dict[str, list] = {"before": [], "after": []}
            for _ in range(rounds):
                for label, binary in (("before", old), ("after", new)):
                    command = [str(binary / "bench_solvers"), solver, "module", "1000", "1000", "1", str(KMAX), "50",
                               str(ANTS), family]
                    # The output (two short lines) waits in the pipe.
                    child = subprocess.Popen(command, stdout=subprocess.PIPE, env=pooled())
                    _, status, usage = os.wait4(child.pid, 0)
                    lines = child.stdout.read().decode().splitlines() if child.stdout else []
                    if os.waitstatus_to_exitcode(status) != 0 or not lines:
                        sys.exit(f"{command} failed")
                    iterations = [float(t) for t in lines[1].split()[1:]] if solver == "ant" else []
                    runs[label].append((float(lines[0].split()[6]), usage.ru_utime + usage.ru_stime, iterations))
            cells = []
            if solve_after is not None:
                solve_after[(family, solver)] = min(run[0] for run in runs["after"]) / cumsum
            for label in ("before", "after"):
                seconds, cpu, iterations = min(runs[label], key=lambda run: run[0])
                cells.append(f"{seconds / cumsum:,.0f} ({seconds:.2f} s; CPU {cpu:.2f} s)")
                if iterations:
                    second, rest = iterations[1], iterations[2:]
                    cells.append(f"{fmt(iterations[0])}, {fmt(second)}, {fmt(statistics.median(rest))}"
                                 f" ({statistics.median(rest) / second:.2f}×), {fmt(max(rest))}"
                                 f" ({max(rest) / second:.2f}×)")
                else:
                    cells.append("")
            solve_rows.append([family, solver, cells[0], cells[2], cells[1], cells[3]])
            print(f"  {family:12} {solver:13}: before {cells[0]}, after {cells[2]}", flush=True)
            if solver == "ant":
                print(f"      iterations (1st, 2nd, median from 3rd, largest from 3rd): before {cells[1]};"
                      f" after {cells[3]}", flush=True)
    construction_table = markdown_table(
        ["family", "budget", "before × cumsum", "after × cumsum", "preparation before", "after", "speed-up"],
        construction_rows)
    solve_table = markdown_table(
        ["family", "solver", "before × cumsum", "after × cumsum", "iterations before (1st, 2nd, median and largest"
         " from the 3rd, × the 2nd)", "iterations after"], solve_rows)
    return ["", f"## A colony construction after {COLONY_ITERATIONS} iterations", "",
            f"`bench_construction ant FAMILY BUDGET 1000 1000 9 {COLONY_ITERATIONS}`: one construction (median CPU"
            f" time of 9, one worker) on the pheromone after {COLONY_ITERATIONS} iterations of a default colony, and the"
            " preparation of its iteration, × one `np.cumsum` over the grid in this process.", "",
            construction_table, "", "## Whole default solves at 1000×1000, budget 50%", "",
            "`bench_solvers SOLVER module 1000 1000 1 100 50 20 FAMILY`: the families of instances.py without"
            " discounts and with them (`+discounts`: omega uniform in [0, 0.5]) and bench_solvers' own task (omega"
            " in [0, 0.3]), the default pool, the fastest of the rounds, × one `np.cumsum` in this"
            " process (CPU: both cores' time, the setup of the task included); the colony's iterations in wall time"
            " (the first with the solve's setup).", "",
            solve_table]


NEGATIVE_HEADER = ["negative b_ij", "before", "before / 0%", "after", "after / 0%", "after: peak MiB"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", default=DEFAULT_BASE, help="the revision to compare against")
    parser.add_argument("--sizes", default="100,300,1000,2000", help="square grid sizes")
    parser.add_argument("--quick", action="store_true", help="uncorrelated 10%% only, no whole solves")
    parser.add_argument("--negative-base", default=NEGATIVE_BASE, help="the revision to compare negative amounts with")
    parser.add_argument("--negatives-only", action="store_true", help="only the table of negative amounts")
    parser.add_argument("--whole-solves-only", action="store_true",
                        help="only the colony construction after many iterations and the whole default solves")
    parser.add_argument("--solve-rounds", type=int, default=1, help="alternating rounds of the whole solves")
    parser.add_argument("--users-only", action="store_true",
                        help="only the work users run (whole solves, first answer, bytes a cell) through the module")
    parser.add_argument("--no-users", action="store_true", help="leave out the work users run")
    parser.add_argument("--rounds", type=int, default=1, help="alternating rounds of the work users run")
    parser.add_argument("--families", default="uncorrelated",
                        help="families of instances.py for the work users run, comma-separated")
    parser.add_argument("--memory-kmax", type=int, default=100,
                        help="colony iterations of the bytes-a-cell solves, both orders (100: the whole default solve)")
    arguments = parser.parse_args()
    sizes = [int(size) for size in arguments.sizes.split(",")]
    families_of_users = [family.strip() for family in arguments.families.split(",")]
    if arguments.users_only:
        main_users(arguments.base, sizes, arguments.rounds, families_of_users, arguments.memory_kmax)
        return
    started = time.monotonic()
    load_at_start = os.getloadavg()[0]

    with tempfile.TemporaryDirectory(prefix="allotra-scale-") as scratch:
        scratch_path = Path(scratch)
        print("building this tree ...", flush=True)
        new = build(ROOT, scratch_path / "new", ["bench_construction", "bench_solvers"])
        if arguments.negatives_only:
            print(f"building {arguments.negative_base} ...", flush=True)
            rows = negative_rows(new, build_revision(arguments.negative_base, scratch_path, "negative", ("bench_construction",)))
            print()
            print(markdown_table(NEGATIVE_HEADER, rows))
            return
        print(f"building {arguments.base} ...", flush=True)
        old = build_revision(arguments.base, scratch_path, "old")
        if arguments.whole_solves_only:
            solve_after = {}
            print("\n".join(colonies_and_solves(old, new, arguments.solve_rounds, solve_after)))
            print()
            print(markdown_table(["goal", "at most", "this tree", "met"], goal_rows({}, {}, (), solve_after, {})))
            return
        binaries = {"before": (old, False), "dispatch": (new, False), "portable": (new, True)}

        floors: dict[int, dict[str, float]] = {}
        results: dict[tuple, dict] = {}
        families = ("uncorrelated",) if arguments.quick else tuple(FAMILIES)
        budgets = (PLOTTED_BUDGET,) if arguments.quick else BUDGETS
        for size in sizes:
            floors[size] = floor_seconds(size * size)
            repeats = 5 if size >= 1000 else 9
            for solver in SOLVERS:
                for family in families:
                    for budget in budgets:
                        for form, (binary, portable) in binaries.items():
                            results[(form, solver, family, budget, size)] = construction(
                                binary, portable, solver, family, budget, size, repeats)
                        times = {form: results[(form, solver, family, budget, size)]["median"] for form in FORMS}
                        print(f"  {size}x{size} {solver:13} {family:12} {budget:2}%: "
                              + ", ".join(f"{form} {fmt(t):>9} ({t / floors[size]['cumsum']:5.1f}x)"
                                          for form, t in times.items()), flush=True)
            # The floors again after the grid's runs: the median of both.
            again = floor_seconds(size * size)
            floors[size] = {name: statistics.median([floors[size][name], again[name]]) for name in again}

        small_rows: list[list[str]] = []
        solve_rows: list[list[str]] = []
        memory_rows: list[list[str]] = []
        negatives: list[list[str]] = []
        whole_solves: list[str] = []
        solve_after: dict[tuple[str, str], float] = {}
        memory: dict[str, float] = {}
        if not arguments.quick:
            print("\nwhole solves on small grids (bench_solvers, default parameters, fastest of 21):", flush=True)
            for size in (5, 10, 30):
                for solver in SOLVERS:
                    fastest = {"before": [], "after": []}
                    for _ in range(3):  # alternating, 3 x 7 runs each
                        for label, binary in (("before", old), ("after", new)):
                            command = [str(binary / "bench_solvers"), solver, "module", str(size), str(size), "7"]
                            line = subprocess.run(command, capture_output=True, text=True, check=True,
                                                  env=pooled()).stdout.split()
                            fastest[label].append(float(line[7]))
                    before, after = min(fastest["before"]), min(fastest["after"])
                    small_rows.append([f"{size}×{size}", solver, fmt(before), fmt(after), f"{before / after:.2f}×"])
                    print(f"  {size}x{size} {solver:13}: before {fmt(before)}, after {fmt(after)}", flush=True)
            print("\nwhole solves at 1000x1000, default parameters, default pool:", flush=True)
            env = pooled()
            for budget in SOLVE_BUDGETS:
                for solver, base_kmax, scale in (("probabilistic", 100, 1), ("ant", 5, 20)):
                    after = solve_row(new, solver, 100, budget, env)
                    before = solve_row(old, solver, base_kmax, budget, env)
                    note = "" if scale == 1 else f" ({base_kmax} iterations × {scale})"
                    solve_rows.append([f"{budget}%", solver, fmt(before[0] * scale) + note, fmt(after[0]),
                                       f"{before[0] * scale / after[0]:.1f}×"])
                    print(f"  {budget}% {solver}: before {fmt(before[0] * scale)}{note}, after {fmt(after[0])}",
                          flush=True)
            whole_solves = colonies_and_solves(old, new, arguments.solve_rounds, solve_after)
            negatives = negative_rows(new, build_revision(arguments.negative_base, scratch_path, "negative", ("bench_construction",)))
            print("\npeak memory at 1000x1000 (bench_solvers, one solve):", flush=True)
            for solver, counts in (("probabilistic", (4, 64)), ("ant", (2, 40))):
                for count in counts:
                    command = [str(new / "bench_solvers"), solver, "module", "1000", "1000", "1",
                               str(count if solver == "probabilistic" else 1), "50", str(count)]
                    seconds, peak, _ = peak_of(command, env)
                    label = f"kmax={count}" if solver == "probabilistic" else f"num_ants={count}, kmax=1"
                    memory_rows.append([solver, label, f"{peak:.1f}"])
                    print(f"  {solver} {label}: peak {peak:.1f} MiB ({fmt(seconds)})", flush=True)
            memory = memory_per_cell(2000, 0.5)
            print("  bytes a cell at 2000x2000, budget 50%: "
                  + ", ".join(f"{kind} {value:.1f}" for kind, value in memory.items()), flush=True)

    load_at_end = os.getloadavg()[0]
    header = ["grid", "solver", "family", "budget", "np.cumsum", "np.sum"] + [
        f"{form} × cumsum" for form in FORMS] + ["after × sum"]
    rows = []
    prepare_header = ["grid", "solver", "family", "budget", "prepare before", "prepare after",
                      "per solve or iteration, before", "after", "after / before", "after × cumsum"]
    prepare_rows = []
    for size in sizes:
        for solver in SOLVERS:
            for family in families:
                for budget in budgets:
                    figures = {form: results[(form, solver, family, budget, size)] for form in FORMS}
                    cumsum, plain = floors[size]["cumsum"], floors[size]["sum"]
                    rows.append([f"{size}×{size}", solver, family, f"{budget}%", fmt(cumsum), fmt(plain)]
                                + [f"{figures[form]['median'] / cumsum:.1f}" for form in FORMS]
                                + [f"{figures['dispatch']['median'] / plain:.0f}"])
                    # The probabilistic solver prepares once for KMAX
                    # constructions; the colony every iteration of ANTS.
                    if solver == "probabilistic":
                        unit = {form: figures[form]["median"] + figures[form]["prepare"] / KMAX
                                for form in ("before", "dispatch")}
                        label = f"construction + preparation / {KMAX}"
                    else:
                        unit = {form: ANTS * figures[form]["median"] + figures[form]["prepare"]
                                for form in ("before", "dispatch")}
                        label = f"iteration of {ANTS}"
                    prepare_rows.append([f"{size}×{size}", solver, family, f"{budget}%",
                                         fmt(figures["before"]["prepare"]), fmt(figures["dispatch"]["prepare"]),
                                         f"{fmt(unit['before'])} ({label})", fmt(unit["dispatch"]),
                                         f"{unit['dispatch'] / unit['before']:.2f}",
                                         f"{unit['dispatch'] / (cumsum * (1 if solver == 'probabilistic' else ANTS)):.1f}"])
    print()
    print(markdown_table(header, rows))
    print()
    print(markdown_table(prepare_header, prepare_rows))
    has_plot = plot(results, floors, sizes, HERE / "scale.png")
    parts = [
        "# One construction against the floor",
        "",
        f"Written by `benchmarks/scale.py` on {time.strftime('%Y-%m-%d')} ({os.cpu_count()} logical processors,"
        f" shared with other work: load average {load_at_start:.1f} when the run started and {load_at_end:.1f}"
        f" when it ended). Before: `{arguments.base}`; dispatch: this tree, SIMD code"
        " chosen at run time; portable: this tree with `ALLOTRA_SIMD=portable`. One construction on the calling"
        " thread with one worker (median); floors: `np.cumsum` (a pass that writes) and `np.sum` (a plain read)"
        " over m·n doubles in the same run (median).",
        "Tasks: b_ij in [1, 100], omega in [0, 0.3]; c in [1, 100] independent of b_ij (uncorrelated), b_ij"
        " plus an integer in [-10, 10], at least 1 (weak), or b_ij + 10 (correlated); budget 10% or 50% of the"
        " sum of b_ij.",
        "",
        markdown_table(header, rows),
        "",
        "## Preparation",
        "",
        f"What a construction needs of the weights, made once per solve by the probabilistic solver (shown"
        f" amortised over kmax = {KMAX}, against one `np.cumsum`) and every iteration by the colony (shown with"
        f" an iteration of {ANTS} ants, against {ANTS} of them); one worker, medians.",
        "",
        markdown_table(prepare_header, prepare_rows),
    ]
    if has_plot:
        parts += ["", "![one construction against the number of cells](scale.png)"]
    if small_rows:
        parts += ["", "## Whole solves on small grids", "",
                  "`bench_solvers SOLVER module M N 7` (bench_solvers' task: c in [1, 100], b_ij in [1, 50], discounts in [0, 0.3]; default parameters, budget 20%, default pool), fastest of 21"
                  " runs per revision, the revisions alternating:", "",
                  markdown_table(["grid", "solver", "before", "after", "speed-up"], small_rows)]
    if solve_rows:
        parts += ["", "## Whole solves at 1000×1000", "",
                  "`bench_solvers SOLVER module 1000 1000 1 100 BUDGET`: default parameters, the default pool"
                  " (both cores); bench_solvers' task has c in [1, 100], b_ij in [1, 50] and discounts in [0, 0.3]. The old colony ran 5"
                  " iterations, scaled to 100.", "",
                  markdown_table(["budget", "solver", "before", "after", "speed-up"], solve_rows)]
    parts += whole_solves
    if negatives:
        parts += ["", "## Negative amounts", "",
                  f"One colony construction at 1000×1000 on one worker (`bench_construction ant negativeP 50 1000 1000`):"
                  " c in [1, 1000), b_ij in [1, 100) with P% of them negated, budget half the amounts' sum before the"
                  f" negation. Before: `{arguments.negative_base}` (one repeat, stopped after"
                  f" {NEGATIVE_TIMEOUT:.0f} s, wall time); after: this tree, CPU time, the median of {NEGATIVE_ROUNDS} rounds that"
                  " alternate the share with the 0% task (each the median of 3). Peak: the one-worker process, task"
                  " included.", "", markdown_table(NEGATIVE_HEADER, negatives)]
    if not arguments.no_users and not arguments.quick:
        parts += [""] + user_work_run(arguments.base, sizes, arguments.rounds, families_of_users,
                                      arguments.memory_kmax)
    goals = goal_rows(results, floors, families, solve_after, memory)
    if goals:
        print()
        print(markdown_table(["goal", "at most", "this tree", "met"], goals))
        parts += ["", "## Goals", "",
                  "Each goal the constructions were built for, beside this run's figures (one construction: the"
                  " range over both solvers and the families named, one worker, × `np.cumsum` over the grid;"
                  " whole solves: × one `np.cumsum` at 1000×1000 in this process; memory: as"
                  " `large_grids.py --sizes 2000 --budgets 0.5` measures a whole default solve, the installed module).", "",
                  markdown_table(["goal", "at most", "this tree", "met"], goals)]
    if memory_rows:
        parts += ["", "## Peak memory at 1000×1000", "",
                  "Peak resident memory of one `bench_solvers` process (the task's three matrices are 23 MiB of it):",
                  "", markdown_table(["solver", "parameters", "peak (MiB)"], memory_rows)]
    (HERE / "scale.md").write_text("\n".join(parts) + "\n")
    print(f"\nwrote {HERE / 'scale.md'}" + (f" and {HERE / 'scale.png'}" if has_plot else "")
          + f" in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
