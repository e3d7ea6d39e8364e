"""Times both solvers in both construction forms and writes the figures.

    python benchmarks/run_benchmarks.py [--full]

1. Builds benchmarks/bench_solvers (CMake, Release) in a temporary directory and
   times solve_probabilistic and solve_ant_colony with the reference and the module
   construction on square grids from 5 x 5 to 100 x 100 (default parameters).
   The reference ant colony at 60 x 60 and 100 x 100 would take many minutes: it
   runs with fewer iterations and its time is scaled up to kmax = 100, which
   is marked. --full runs it in full at 60 x 60 (about 5 more minutes).
2. Through the Python module (in subprocesses): the peak memory of
   ProbabilisticAssignmentSolver(kmax=k).solve on a 300 x 300 task for
   k = 10, 100, 1000, and the parallel efficiency (RAYON_NUM_THREADS=1 against
   the default pool). Skipped when `allotra` cannot be imported.
3. Prints a table and writes benchmarks/results.md and benchmarks/solve_time.png
   (matplotlib, the optional 'bench' dependency).

Timings on a shared machine are noisy: every figure is a median, and none is
checked against a goal.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
SIZES = (5, 10, 30, 60, 100)
SOLVERS = ("probabilistic", "ant")
DEFAULT_KMAX = 100
MEMORY_KMAX = (10, 100, 1000)
MEMORY_SIZE = 300


@dataclass
class Timing:
    solver: str
    form: str
    size: int
    repeats: int
    kmax: int
    median: float  # seconds, scaled to DEFAULT_KMAX when `kmax` is smaller
    value: float | None  # None when the run was scaled (a shorter run's value says little)

    @property
    def scaled(self) -> bool:
        return self.kmax != DEFAULT_KMAX


def cmake_binary() -> str:
    found = shutil.which("cmake")
    if found:
        return found
    try:
        import cmake  # the PyPI wheel carries its own binary
    except ImportError:
        sys.exit("cmake is needed to build the benchmark")
    return os.path.join(cmake.CMAKE_BIN_DIR, "cmake")


def build(directory: Path) -> Path:
    cmake = cmake_binary()
    for command in (
        [cmake, "-S", str(HERE.parent), "-B", str(directory), "-DCMAKE_BUILD_TYPE=Release",
         "-DALLOTRA_MODULE=OFF", "-DALLOTRA_BENCHMARKS=ON"],
        [cmake, "--build", str(directory), "--target", "bench_solvers", "--parallel", "2"],
    ):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(done.stdout + done.stderr)
    return directory / "benchmarks" / "bench_solvers"


def plan(solver: str, form: str, size: int, full: bool) -> tuple[int, int]:
    """(repeats, kmax) of one run: slow reference runs once, or in part."""
    if form == "module":
        return 5, DEFAULT_KMAX
    if solver == "probabilistic":
        return {60: 3, 100: 1}.get(size, 5), DEFAULT_KMAX
    if size <= 10:
        return 5, DEFAULT_KMAX
    if size == 30 or (size == 60 and full):
        return 1, DEFAULT_KMAX
    return 1, 20 if size == 60 else 4


def time_run(binary: Path, solver: str, form: str, size: int, repeats: int, kmax: int) -> Timing:
    command = [str(binary), solver, form, str(size), str(size), str(repeats), str(kmax)]
    line = subprocess.run(command, capture_output=True, text=True, check=True).stdout.split()
    median = float(line[6]) * DEFAULT_KMAX / kmax
    value = float(line[8]) if kmax == DEFAULT_KMAX else None
    return Timing(solver, form, size, repeats, kmax, median, value)


# The child of the memory and parallel measurements: builds the same kind of
# task as bench_solvers (values 1..100, amounts 1..50, discounts 0..0.3, budget
# 20% of the amounts) and prints one JSON line.
CHILD = textwrap.dedent(
    """
    import json, os, resource, sys, time
    import numpy as np
    import allotra

    def status(field):
        try:
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith(field + ":"):
                        return int(line.split()[1]) / 1024.0
        except OSError:
            pass
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0

    def cpu_seconds():
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    kind, size, kmax, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    rng = np.random.default_rng(size)
    c = rng.integers(1, 101, size=(size, size), dtype=np.int64)
    b = rng.integers(1, 51, size=(size, size), dtype=np.int64)
    omega = rng.uniform(0.0, 0.3, size=(size, size))
    task = allotra.Task(size, size, c, b, int(b.sum() // 5), omega)
    if kind == "ant":
        solver = allotra.AntColonyAssignmentSolver(kmax=kmax)
    else:
        solver = allotra.ProbabilisticAssignmentSolver(kmax=kmax)
    before = status("VmRSS")
    times = []
    cpu_start = cpu_seconds()
    for _ in range(repeats):
        start = time.perf_counter()
        solver.solve(task)
        times.append(time.perf_counter() - start)
    cpu_per_wall = (cpu_seconds() - cpu_start) / sum(times)
    times.sort()
    print(json.dumps({"rss_before_mib": before, "peak_mib": status("VmHWM"),
                      "median_s": times[len(times) // 2], "min_s": times[0], "cpu_per_wall": cpu_per_wall}))
    """
)


def run_child(kind: str, size: int, kmax: int, repeats: int, threads: int | None) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    done = subprocess.run(
        [sys.executable, "-c", CHILD, kind, str(size), str(kmax), str(repeats)],
        capture_output=True, text=True, env=env, check=True,
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def module_available() -> bool:
    done = subprocess.run([sys.executable, "-c", "import allotra"], capture_output=True)
    return done.returncode == 0


def fmt_seconds(seconds: float) -> str:
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.0f} us"


def fmt_value(value: float | None) -> str:
    return "-" if value is None else f"{value:.1f}"


def table_rows(timings: dict[tuple[str, str, int], Timing]) -> list[list[str]]:
    rows = []
    for size in SIZES:
        for solver in SOLVERS:
            reference = timings[(solver, "reference", size)]
            fast = timings[(solver, "module", size)]
            literal_time = fmt_seconds(reference.median)
            if reference.scaled:
                literal_time = f"~{literal_time} (kmax={reference.kmax} x{DEFAULT_KMAX // reference.kmax})"
            rows.append([
                f"{size}x{size}", solver, literal_time, fmt_seconds(fast.median),
                f"{reference.median / fast.median:.1f}x", fmt_value(reference.value), fmt_value(fast.value),
            ])
    return rows


HEADER = ["grid", "solver", "reference (median)", "module (median)", "speed-up", "reference value", "module value"]


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def plain_table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    return "\n".join("  ".join(str(c).ljust(w) for c, w in zip(r, widths)) for r in [header] + rows)


def pyplot():
    """matplotlib's pyplot drawing into files, or None when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (pip install .[bench]); no plot written")
        return None
    return plt


def plot(timings: dict[tuple[str, str, int], Timing], path: Path) -> bool:
    plt = pyplot()
    if plt is None:
        return False
    figure, axes = plt.subplots(figsize=(7, 5))
    styles = {"reference": "--", "module": "-"}
    colours = {"probabilistic": "tab:blue", "ant": "tab:red"}
    for solver in SOLVERS:
        for form in ("reference", "module"):
            points = [timings[(solver, form, size)] for size in SIZES]
            cells = [t.size * t.size for t in points]
            axes.plot(cells, [t.median for t in points], styles[form], color=colours[solver],
                      label=f"{solver}, {form}")
            for t in points:
                axes.plot(t.size * t.size, t.median, "o", color=colours[solver],
                          fillstyle="none" if t.scaled else "full")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("cells (m x n)")
    axes.set_ylabel("solve time, seconds (median)")
    axes.set_title("solve time with default parameters (hollow: scaled from fewer iterations)")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="run the reference ant colony at 60 x 60 in full")
    arguments = parser.parse_args()
    started = time.monotonic()

    timings: dict[tuple[str, str, int], Timing] = {}
    with tempfile.TemporaryDirectory(prefix="allotra-bench-") as directory:
        print("building bench_solvers ...", flush=True)
        binary = build(Path(directory))
        for size in SIZES:
            for solver in SOLVERS:
                for form in ("reference", "module"):
                    repeats, kmax = plan(solver, form, size, arguments.full)
                    timing = time_run(binary, solver, form, size, repeats, kmax)
                    timings[(solver, form, size)] = timing
                    print(f"  {size}x{size} {solver:13} {form:7} {fmt_seconds(timing.median):>10}"
                          f"{' (scaled)' if timing.scaled else ''}", flush=True)

    rows = table_rows(timings)
    print()
    print(plain_table(HEADER, rows))

    memory_rows: list[list[str]] = []
    parallel_rows: list[list[str]] = []
    if module_available():
        print(f"\npeak memory of ProbabilisticAssignmentSolver(kmax=k).solve, {MEMORY_SIZE}x{MEMORY_SIZE}:")
        for kmax in MEMORY_KMAX:
            figures = run_child("probabilistic", MEMORY_SIZE, kmax, 1, None)
            memory_rows.append([str(kmax), f"{figures['rss_before_mib']:.1f}", f"{figures['peak_mib']:.1f}",
                                f"{figures['peak_mib'] - figures['rss_before_mib']:.1f}"])
            print(f"  kmax={kmax:5}: peak {figures['peak_mib']:.1f} MiB"
                  f" ({figures['peak_mib'] - figures['rss_before_mib']:+.1f} over the task)", flush=True)
        processors = os.cpu_count() or 1
        print(f"\nparallel efficiency ({processors} processors):")
        for kind, size, kmax in (("probabilistic", 100, 1000), ("ant", 100, 100)):
            # Alternating children, fastest solve of each setting: other work on
            # a shared machine only ever slows a run down.
            ones, pools = [], []
            for _ in range(2):
                ones.append(run_child(kind, size, kmax, 3, 1))
                pools.append(run_child(kind, size, kmax, 3, None))
            one = min(run["min_s"] for run in ones)
            pooled = min(pools, key=lambda run: run["min_s"])
            speedup = one / pooled["min_s"]
            parallel_rows.append([f"{kind}, {size}x{size}, kmax={kmax}", fmt_seconds(one),
                                  fmt_seconds(pooled["min_s"]), f"{speedup:.2f}x",
                                  f"{100 * speedup / processors:.0f}%", f"{pooled['cpu_per_wall']:.2f}"])
            print(f"  {parallel_rows[-1][0]}: 1 thread {fmt_seconds(one)}, {processors} threads"
                  f" {fmt_seconds(pooled['min_s'])}, speed-up {speedup:.2f}x,"
                  f" busy processors {pooled['cpu_per_wall']:.2f}", flush=True)
    else:
        print("\nallotra is not importable from this interpreter: memory and parallel figures skipped")

    has_plot = plot(timings, HERE / "solve_time.png")
    write_results(HERE / "results.md", rows, memory_rows, parallel_rows, has_plot)
    print(f"\nwrote {HERE / 'results.md'}" + (f" and {HERE / 'solve_time.png'}" if has_plot else "")
          + f" in {time.monotonic() - started:.0f} s")


def write_results(path: Path, rows, memory_rows, parallel_rows, has_plot: bool) -> None:
    machine = f"{platform.system()} {platform.machine()}, {os.cpu_count()} logical processors"
    parts = [
        "# Benchmark results",
        "",
        f"Written by `benchmarks/run_benchmarks.py` on {time.strftime('%Y-%m-%d')} ({machine}).",
        "Random square tasks: values c in [1, 100], amounts b_ij in [1, 50], discounts in [0, 0.3],",
        "budget 20% of the sum of b_ij. Default solver parameters (kmax = 100; 20 ants).",
        "Medians of 5 runs (3 for the reference probabilistic solver at 60x60, 1 for the slowest reference runs).",
        "A reference time marked ~ was measured with fewer iterations and scaled to kmax = 100.",
        "Values differ between runs because every run draws fresh randomness.",
        "",
        "## Solve time: reference against the module's construction",
        "",
        markdown_table(HEADER, rows),
    ]
    if has_plot:
        parts += ["", "![solve time against grid size](solve_time.png)"]
    if memory_rows:
        parts += [
            "",
            f"## Peak memory, ProbabilisticAssignmentSolver(kmax=k).solve on {MEMORY_SIZE}x{MEMORY_SIZE}",
            "",
            "Peak resident memory of a fresh Python process (VmHWM), which holds the task before solving.",
            "",
            markdown_table(["kmax", "before solve (MiB)", "peak (MiB)", "solve adds (MiB)"], memory_rows),
        ]
    if parallel_rows:
        parts += [
            "",
            "## Parallel efficiency",
            "",
            "Fastest of 6 solves (two processes of 3) with RAYON_NUM_THREADS=1 against the default pool",
            "(one thread per processor);",
            "efficiency is the speed-up divided by the number of processors. 'Busy processors' is the",
            "process's CPU time over its wall time with the default pool: well below the processor count,",
            "it shows that other work on the machine kept the pool's threads from running at once.",
            "",
            markdown_table(["solve", "1 thread", "default pool", "speed-up", "efficiency", "busy processors"],
                           parallel_rows),
        ]
    path.write_text("\n".join(parts) + "\n")


if __name__ == "__main__":
    main()
