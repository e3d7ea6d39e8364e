"""What a seed gives in this version, on grids whose constructions take each
form (steps, sorted keys, bins, skipping with and without bands of amounts,
with few candidates a band, negative amounts). The law tests cannot see a change of a seed's answers;
this table does. A deliberate change rewrites it in the same commit, says so
in CHANGELOG.md, and is made with

    ALLOTRA_WRITE_KNOWN_ANSWERS=1 python -m pytest tests/test_known_answers.py

Each task is drawn from numpy's default_rng(task seed): c in [c_low, c_high],
b_ij in [b_low, b_high], omega in [0, omega) and a budget of `share` of the
positive amounts' sum."""

import hashlib
import json
import os
import platform
from pathlib import Path

import numpy as np
import pytest

import allotra

TABLE = Path(__file__).with_name("known_answers.json")
WRITE = os.environ.get("ALLOTRA_WRITE_KNOWN_ANSWERS") == "1"
SOLVERS = {"probabilistic": lambda: allotra.ProbabilisticAssignmentSolver(kmax=20),
           "colony": lambda: allotra.AntColonyAssignmentSolver(num_ants=4, kmax=3),
           # More ants than are valued together at once.
           "colony, 24 ants": lambda: allotra.AntColonyAssignmentSolver(num_ants=24, kmax=4),
           # A last group of values of one ant.
           "colony, 17 ants": lambda: allotra.AntColonyAssignmentSolver(num_ants=17, kmax=4),
           # Weights spread by 3 octaves an iteration where no ant goes: past
           # 40 by the last, where bands merge their classes.
           "colony, spreading": lambda: allotra.AntColonyAssignmentSolver(num_ants=2, kmax=20, alpha=3.0, rho=0.5)}
# Constructions that skip also use the C library's exp and log, whose last
# bits may differ on other builds of it.
GLIBC = platform.libc_ver()[0] == "glibc"


def task_of(spec):
    rng = np.random.default_rng(spec["seed"])
    m, n = spec["m"], spec["n"]
    c = rng.integers(spec["c"][0], spec["c"][1] + 1, (m, n), dtype=np.int64)
    b = rng.integers(spec["b"][0], spec["b"][1] + 1, (m, n), dtype=np.int64)
    omega = rng.random((m, n)) * spec["omega"]
    return allotra.Task(m, n, c, b, int(spec["share"] * b[b > 0].sum()), omega)


def answer(entry):
    result = SOLVERS[entry["solver"]]().run(task_of(entry["task"]), seed=entry["seed"])
    assert result.value <= result.bound
    return hashlib.sha256(result.x.tobytes() + repr(result.value).encode()).hexdigest()


def test_known_answers():
    table = json.loads(TABLE.read_text())
    if WRITE:
        for entry in table:
            entry["sha256"] = answer(entry)
        TABLE.write_text("[\n" + ",\n".join(json.dumps(entry) for entry in table) + "\n]\n")
    checked = [e for e in table if GLIBC or not e["form"].startswith("skipping")]
    changed = [f"{e['form']}, {e['solver']}" for e in checked if answer(e) != e["sha256"]]
    assert not changed, f"a seed gives other answers on: {changed} (see the module's note)"
