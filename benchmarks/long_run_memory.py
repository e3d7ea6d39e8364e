"""The resident memory of one long probabilistic run on the quick-start task
(the README's 2 x 3 grid), sampled while it runs; the run's history keeps only
the rises of the best value, so the figure should stay flat.

    python benchmarks/long_run_memory.py [--seconds 60] [--every 10]

Prints the resident size (VmRSS) before the run and every few seconds of it,
from another thread (the run gives the lock up), then the peak (VmHWM), the
constructions completed and the length of the history. Linux only (/proc).
"""

from __future__ import annotations

import argparse
import threading
import time

import numpy as np

import allotra


def status_mib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise KeyError(field)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--every", type=float, default=10.0)
    args = parser.parse_args()
    c = np.array([[8, 3, 5], [6, 9, 2]], dtype=np.int64)
    b_ij = np.array([[4, 1, 3], [3, 5, 1]], dtype=np.int64)
    omega = np.array([[0.0, 0.1, 0.0], [0.25, 0.0, 0.5]])
    task = allotra.Task(2, 3, c, b_ij, 8, omega)
    solver = allotra.ProbabilisticAssignmentSolver(kmax=10**15)
    print(f"before the run: {status_mib('VmRSS'):.1f} MiB resident")
    done = threading.Event()

    def sample():
        started = time.monotonic()
        while not done.wait(args.every):
            print(f"{time.monotonic() - started:5.0f} s: {status_mib('VmRSS'):.1f} MiB resident", flush=True)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    result = solver.run(task, seed=1, time_limit=args.seconds)
    done.set()
    sampler.join()
    print(f"after {result.seconds:.1f} s: {result.iterations:,} constructions, {len(result.history)} history rows, "
          f"peak {status_mib('VmHWM'):.1f} MiB resident")


if __name__ == "__main__":
    main()
