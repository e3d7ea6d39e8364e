"""The type information installed with the module: mypy finds it with no
configuration, accepts correct code under --strict, refuses the mistakes a
user makes most, and stubtest finds the stub in agreement with the module;
pyright's engine reads it alike.

mypy runs once over every script (a cold run spends its time on NumPy's
types); each case then reads its own file's lines of the report.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")
if os.environ.get("ALLOTRA_SANITIZE") == "1":
    # The stub does not depend on how the module was compiled; the plain run
    # checks it, and mypy under a preloaded sanitizer only costs time.
    pytest.skip("types are checked in the plain build", allow_module_level=True)

CORRECT = """\
import numpy as np
import numpy.typing as npt

import allotra

c = np.array([[8, 3, 5], [6, 9, 2]], dtype=np.int64)
b_ij = np.array([[4, 1, 3], [3, 5, 1]], dtype=np.int64)
omega = np.zeros((2, 3))
task = allotra.Task(2, 3, c, b_ij, np.int64(8), omega)
ok: bool = task.validate()
solvers: list[allotra.ProbabilisticAssignmentSolver | allotra.AntColonyAssignmentSolver] = [
    allotra.ProbabilisticAssignmentSolver(kmax=np.uint32(10)),
    allotra.AntColonyAssignmentSolver(5, 10, 1, np.float32(2.0), rho=0.2, initial_pheromone=True),
]
for solver in solvers:
    x, value = solver.solve(task=task)
    chosen: npt.NDArray[np.int64] = x
    total: float = value
    result = solver.run(task, seed=2**100, time_limit=np.float64(1.5), callback=lambda k, v, s: k > 3)
    x, value = result[:2]
    history: npt.NDArray[np.float64] = result.history
    seed: int = result.seed + result.iterations
    seconds: float = result.seconds
    gap: float = 1 - result.value / result.bound
    stopped: str = result.stopped
"""

# Annotated, since the stubs of older NumPy releases do not infer the element
# type from dtype=.
PREAMBLE = """\
import numpy as np
import numpy.typing as npt
import allotra

c: npt.NDArray[np.int64] = np.ones((2, 2), dtype=np.int64)
"""

# name -> (the offending line, the error code mypy must give for it)
WRONG = {
    "misspelt keyword": ("allotra.AntColonyAssignmentSolver(num_ant=5)", "call-arg"),
    "missing argument": ("allotra.Task(2, 2, c, c, 5)", "call-arg"),
    "string as a float parameter": ('allotra.AntColonyAssignmentSolver(alpha="1.0")', "arg-type"),
    "float as an integer parameter": ("allotra.ProbabilisticAssignmentSolver(kmax=2.5)", "arg-type"),
    "array of the wrong element type": ("allotra.Task(2, 2, c, c, 5, c)", "arg-type"),
    "solve without a Task": ("allotra.ProbabilisticAssignmentSolver().solve(c)", "arg-type"),
    "subclass of Task": ("class Mine(allotra.Task): ...", "misc"),
    "run's seed by position": ("allotra.AntColonyAssignmentSolver().run(allotra.Task(2, 2, c, c, 5, 1.0 * c), 1)",
                               "call-arg"),
    "a string seed": ('allotra.AntColonyAssignmentSolver().run(allotra.Task(2, 2, c, c, 5, 1.0 * c), seed="1")',
                      "arg-type"),
}


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """Runs mypy --strict over the correct script and every wrong one; returns
    each file's error lines and mypy's whole output."""
    root = tmp_path_factory.mktemp("typing")
    files = {"correct": root / "correct.py"}
    files["correct"].write_text(CORRECT)
    for k, (name, (line, _)) in enumerate(WRONG.items()):
        files[name] = root / f"wrong_{k}.py"
        files[name].write_text(PREAMBLE + line + "\n")
    # cwd is the temporary directory, so nothing but the installed package
    # can answer `import allotra`.
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes", "--no-pretty",
         *(p.name for p in files.values())],
        cwd=root, capture_output=True, text=True, timeout=600,
    )
    errors = {name: [line for line in done.stdout.splitlines() if line.startswith(path.name + ":")]
              for name, path in files.items()}
    return errors, done.stdout + done.stderr


def test_correct_code_passes_strict(mypy_report):
    errors, output = mypy_report
    assert errors["correct"] == [], output
    exec(CORRECT, {})  # what the stub accepts, the module accepts too


@pytest.mark.parametrize("name", WRONG)
def test_mistake_is_reported_on_its_line(mypy_report, name):
    errors, output = mypy_report
    line_number = PREAMBLE.count("\n") + 1
    expected_code = WRONG[name][1]
    assert errors[name], output
    assert all(f":{line_number}:" in line for line in errors[name]), output
    assert any(line.endswith(f"[{expected_code}]") for line in errors[name]), output


def test_stub_agrees_with_module(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "allotra"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, textwrap.indent(done.stdout + done.stderr, "  ")


def test_pyright_accepts_the_correct_code_and_reports_every_mistake(tmp_path):
    """Pyright's engine (as basedpyright ships it, with its own Node.js) sees
    the same stub: no error in the correct script, one on each mistake's line."""
    pytest.importorskip("basedpyright")
    (tmp_path / "correct.py").write_text(CORRECT)
    wrong = {name: tmp_path / f"wrong_{k}.py" for k, name in enumerate(WRONG)}
    for name, path in wrong.items():
        path.write_text(PREAMBLE + WRONG[name][0] + "\n")
    done = subprocess.run(
        [sys.executable, "-m", "basedpyright", "--pythonpath", sys.executable, "--level", "error", "--outputjson",
         "correct.py", *(path.name for path in wrong.values())],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    report = json.loads(done.stdout)["generalDiagnostics"]
    lines = {}
    for diagnostic in report:
        lines.setdefault(os.path.basename(diagnostic["file"]), set()).add(diagnostic["range"]["start"]["line"] + 1)
    assert "correct.py" not in lines, done.stdout
    for name, path in wrong.items():
        assert lines.get(path.name) == {PREAMBLE.count("\n") + 1}, (name, done.stdout)
