"""The sweep example as a user runs it: jobs travel as arrays to worker
processes (a process pool, or Dask's scheduler with a small LocalCluster),
the workers build their Tasks, and the table and the best setting come back.

Every printed row must hold a share of the fractional bound in (0, 100] and a
positive time, every setting must appear, and the best line must name the
highest row.
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sweep.py"
ROW = re.compile(r"^(probabilistic|ant colony)\s+(.*?)\s+(\d+\.\d+)% +(\d+\.\d+) ms$")
BEST = re.compile(r"^best: (probabilistic|ant colony) \((.*)\): (\d+\.\d+)% of the bound")


def run_sweep(*options):
    done = subprocess.run([sys.executable, str(EXAMPLE), "--quick", "--workers", "2", *options],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.mark.parametrize("options", [
    pytest.param((), id="process pool"),
    pytest.param(("--dask",), id="dask local cluster"),
])
def test_sweep_reports_every_setting_and_the_best(options):
    if options:
        pytest.importorskip("dask.distributed")
    sys.path.insert(0, str(EXAMPLE.parent))
    try:
        import sweep
    finally:
        sys.path.remove(str(EXAMPLE.parent))
    output = run_sweep(*options)
    rows = [m.groups() for m in map(ROW.match, output.splitlines()) if m]
    expected = {(name, ", ".join(f"{k}={v}" for k, v in parameters.items()))
                for name, parameters in sweep.settings(quick=True)}
    assert {(name, shown) for name, shown, _, _ in rows} == expected, output
    assert len(rows) == len(expected), output
    for _, _, percent, ms in rows:
        assert 0.0 < float(percent) <= 100.0 and float(ms) > 0.0, output
    best = [m.groups() for m in map(BEST.match, output.splitlines()) if m]
    assert len(best) == 1, output
    top = max(float(percent) for _, _, percent, _ in rows)
    assert float(best[0][2]) == top, output
    assert (best[0][0], best[0][1]) in {(n, s) for n, s, p, _ in rows if float(p) == top}, output


def test_a_sweep_with_a_seed_repeats_its_values():
    values = [[m.group(3) for m in map(ROW.match, run_sweep("--seed", "7", "--workers", str(w)).splitlines()) if m]
              for w in (1, 2)]
    assert values[0] == values[1] and len(values[0]) == 3, values
