"""A parameter sweep: many (task, parameters) jobs, on one machine or a cluster.

    python examples/sweep.py                       # a process pool on this machine
    python examples/sweep.py --dask                # Dask: a LocalCluster of worker processes
    python examples/sweep.py --dask tcp://host:8786  # Dask: the same code on a running cluster
    python examples/sweep.py --quick ...           # a small sweep that takes seconds
    python examples/sweep.py --seed 7 ...          # the sweep of seed 7 again, value for value

Every job is one solver setting on one task. A `Task` cannot be pickled (and
holds nothing worth sending that the arrays do not), so a job carries the
arrays (c, b_ij, b_total, omega) and the worker builds the Task itself. The
table gives, for every setting, the mean value as a percentage of the
fractional bound (no selection can exceed it) over all tasks, and the mean
time of one solve; the best setting is the one with the highest mean, the
faster one on a tie.

Every job runs with a seed of its own, made from the sweep's seed and the
job's place in the list, so a sweep repeats exactly (values, not times) on
any pool, cluster or number of workers: the seed is printed with the table.

Every job runs its solve single-threaded (RAYON_NUM_THREADS=1 in the
workers): the jobs themselves fill the processors, one worker process per
processor. On a cluster, start the workers the same way, for example
`RAYON_NUM_THREADS=1 dask worker tcp://host:8786 --nworkers auto --nthreads 1`,
and install numpy and allotra on every worker machine. A job's run gives up
the interpreter lock while it constructs, so a worker's heartbeats go on
during long jobs.
"""

from __future__ import annotations

import argparse
import itertools
import os
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import allotra

SOLVERS = {"probabilistic": allotra.ProbabilisticAssignmentSolver, "ant colony": allotra.AntColonyAssignmentSolver}


def make_tasks(count, m, n, seed=2026):
    """count reproducible tasks as plain arrays: what a job can carry."""
    tasks = []
    for rng in (np.random.default_rng([seed, k]) for k in range(count)):
        b_ij = rng.integers(5, 200, size=(m, n), dtype=np.int64)
        c = (b_ij + rng.integers(-20, 21, size=(m, n))).clip(1).astype(np.int64)
        omega = rng.uniform(0.0, 0.35, size=(m, n))
        tasks.append((c, b_ij, int(b_ij.sum() // 10), omega))
    return tasks


def settings(quick):
    """(solver name, keyword arguments) for every setting of the sweep."""
    if quick:
        return [("probabilistic", {"kmax": 100}), ("ant colony", {"num_ants": 10, "kmax": 20}),
                ("ant colony", {"num_ants": 10, "kmax": 20, "beta": 4.0})]
    grid = [("probabilistic", {"kmax": k}) for k in (100, 1000)]
    for num_ants, beta, rho in itertools.product((10, 20), (1.0, 2.0, 4.0), (0.05, 0.2)):
        grid.append(("ant colony", {"num_ants": num_ants, "kmax": 50, "beta": beta, "rho": rho}))
    return grid


def fractional_bound(c, b_ij, b_total, omega):
    """The best value if the last cell could be taken in part (costs > 0)."""
    value = ((1.0 - omega) * c).ravel()
    order = np.argsort(-(value / b_ij.ravel()), kind="stable")
    used = np.cumsum(b_ij.ravel()[order])
    whole = int(np.searchsorted(used, b_total, side="right"))
    bound = float(value[order[:whole]].sum())
    if whole < len(order):
        left = b_total - (int(used[whole - 1]) if whole else 0)
        bound += float(value[order[whole]]) * left / float(b_ij.ravel()[order[whole]])
    return bound


def run_job(arrays, solver_name, parameters, seed):
    """One job, in a worker: build the Task from the arrays, run, report."""
    c, b_ij, b_total, omega = arrays
    m, n = c.shape
    task = allotra.Task(m, n, c, b_ij, b_total, omega)
    solver = SOLVERS[solver_name](**parameters)
    start = time.perf_counter()
    _, value = solver.run(task, seed=seed)[:2]
    elapsed = time.perf_counter() - start
    return value / fractional_bound(c, b_ij, b_total, omega), elapsed


def single_threaded_solves():
    # Read once, when the worker's first solve starts the module's pool.
    os.environ["RAYON_NUM_THREADS"] = "1"


def sweep_with_processes(jobs, workers=None):
    with ProcessPoolExecutor(max_workers=workers, initializer=single_threaded_solves) as pool:
        futures = [pool.submit(run_job, *job) for job in jobs]
        return [f.result() for f in futures]


def sweep_with_dask(jobs, address=None, workers=None):
    from dask.distributed import Client, LocalCluster

    if address:
        cluster, client = None, Client(address)
    else:
        cluster = LocalCluster(n_workers=workers or os.cpu_count(), threads_per_worker=1, processes=True,
                               dashboard_address=None, env={"RAYON_NUM_THREADS": "1"})
        client = Client(cluster)
    try:
        # Each task's arrays travel to the cluster once, however many jobs use them.
        shared = {id(arrays): client.scatter(arrays) for arrays, _, _, _ in jobs}
        futures = [client.submit(run_job, shared[id(arrays)], name, parameters, seed, pure=False)
                   for arrays, name, parameters, seed in jobs]
        return client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def summarise(jobs, results):
    """One row per setting: (solver, parameters, mean % of the bound, mean seconds)."""
    by_setting = {}
    for (_, name, parameters, _), (share, seconds) in zip(jobs, results):
        by_setting.setdefault((name, tuple(parameters.items())), []).append((share, seconds))
    return [(name, dict(parameters), 100.0 * float(np.mean([s for s, _ in runs])), float(np.mean([t for _, t in runs])))
            for (name, parameters), runs in by_setting.items()]


def best_of(rows):
    return max(rows, key=lambda row: (row[2], -row[3]))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dask", nargs="?", const="", metavar="ADDRESS",
                        help="run on Dask: a LocalCluster, or the scheduler at ADDRESS")
    parser.add_argument("--workers", type=int, help="local worker processes (default: one per processor)")
    parser.add_argument("--quick", action="store_true", help="a small sweep for a first try or a test")
    parser.add_argument("--seed", type=int, help="the sweep's seed (default: a fresh one, printed)")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else int(np.random.SeedSequence().entropy) % 2**64

    tasks = make_tasks(2, 12, 15) if args.quick else make_tasks(4, 30, 40)
    pairs = [(arrays, name, parameters) for arrays in tasks for name, parameters in settings(args.quick)]
    jobs = [(*pair, seed * 2**32 + k) for k, pair in enumerate(pairs)]
    start = time.perf_counter()
    if args.dask is None:
        where = "a process pool on this machine"
        results = sweep_with_processes(jobs, args.workers)
    else:
        where = f"Dask at {args.dask}" if args.dask else "a Dask LocalCluster"
        results = sweep_with_dask(jobs, args.dask or None, args.workers)
    wall = time.perf_counter() - start

    rows = summarise(jobs, results)
    print(f"{len(jobs)} jobs ({len(tasks)} tasks x {len(rows)} settings) on {where} in {wall:.1f} s, seed {seed}\n")
    print(f"{'solver':<14} {'parameters':<48} {'% of bound':>10} {'time':>10}")
    for name, parameters, percent, seconds in rows:
        shown = ", ".join(f"{k}={v}" for k, v in parameters.items())
        print(f"{name:<14} {shown:<48} {percent:>9.2f}% {seconds * 1000:>7.1f} ms")
    name, parameters, percent, seconds = best_of(rows)
    shown = ", ".join(f"{k}={v}" for k, v in parameters.items())
    print(f"\nbest: {name} ({shown}): {percent:.2f}% of the bound, {seconds * 1000:.1f} ms per solve")


if __name__ == "__main__":
    main()
