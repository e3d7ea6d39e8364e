"""What every result of solve must satisfy, and small helpers shared by the
robustness tests (fuzzing, leaks, concurrency, interrupts, extremes)."""

import math
import os
import subprocess
import sys

import numpy as np

import allotra

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1

# Under AddressSanitizer a C++ allocation that fails aborts the process
# instead of throwing, so tests that provoke one skip themselves there.
UNDER_SANITIZER = os.environ.get("ALLOTRA_SANITIZE") == "1"


def is_panic(error):
    """The module's exception for failed internal checks: named
    PanicException and derived from BaseException directly."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__bases__ == (BaseException,)


def density(c, b, omega):
    """The value density ((1 - omega) * c) / b in float64, 0 where b is 0."""
    with np.errstate(all="ignore"):
        d = ((1.0 - omega) * c.astype(np.float64)) / b.astype(np.float64)
    return np.where(b == 0, 0.0, d)


def check_result(result, c, b, b_total, omega, *, maximal=False):
    """Checks one result of solve against the task's values (plain arrays as
    NumPy shows them): a fresh C-contiguous int64 (m, n) array of 0 and 1
    within the budget (exact integer sum), and a float value that is 0.0 for
    the empty selection and otherwise positive and equal, up to rounding, to
    the selection's objective recomputed here. With `maximal`, no free cell
    of positive value density may still fit (what every probabilistic
    construction guarantees)."""
    assert type(result) is tuple and len(result) == 2
    x, value = result
    assert type(x) is np.ndarray
    assert x.dtype == np.int64 and x.dtype.isnative
    assert x.shape == c.shape
    assert x.flags.c_contiguous and x.flags.writeable and x.flags.owndata
    assert type(value) is float
    assert np.isin(x, (0, 1)).all(), x
    chosen = x == 1
    used = sum(int(v) for v in b[chosen])
    assert used <= b_total, (used, b_total)
    if value == 0.0:
        # Only a value above 0.0 ever replaces the empty starting point.
        assert not chosen.any(), (x, value)
    else:
        assert value > 0.0, value
        terms = c[chosen].astype(np.float64) * (1.0 - omega[chosen])
        exact = math.fsum(terms)
        slack = 4 * max(len(terms), 1) * np.finfo(np.float64).eps * math.fsum(np.abs(terms))
        assert abs(value - exact) <= slack, (value, exact)
    if maximal and chosen.any():
        weights = density(c, b, omega)
        for i, j in zip(*np.nonzero(~chosen & (weights > 0.0))):
            assert used + int(b[i, j]) > b_total, ("cell", i, j, "still fits")
    return x, value


def plain_task(c, b, b_total, omega):
    """A Task from array-likes, with the int64/float64 arrays it was built from."""
    c = np.array(c, dtype=np.int64)
    b = np.array(b, dtype=np.int64)
    omega = np.array(omega, dtype=np.float64)
    m, n = c.shape
    return allotra.Task(m, n, c, b, b_total, omega), c, b, omega


class _Report:
    """Figures the robustness tests measure (cases run, memory deltas,
    latencies), printed in pytest's terminal summary."""

    sections = {}

    def pytest_terminal_summary(self, terminalreporter):
        for title, lines in self.sections.items():
            terminalreporter.write_sep("-", title)
            for line in lines:
                terminalreporter.write_line(line)


def report(config, title, line):
    """Adds a line to the section `title` of the terminal summary."""
    manager = config.pluginmanager
    if not manager.has_plugin("allotra-robustness-report"):
        manager.register(_Report(), "allotra-robustness-report")
    _Report.sections.setdefault(title, []).append(line)


def run_python(code, timeout, env_update=None):
    """Runs `code` in a fresh interpreter (so that a crash or a hang cannot
    take the test session with it) and returns the completed process."""
    env = dict(os.environ)
    if env_update:
        env.update(env_update)
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env
    )
