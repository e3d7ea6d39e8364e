"""A hang is a failure with a name. Tests that can deadlock carry a
`timeout` mark (pytest-timeout, thread method: at the limit it prints every
thread's stack and ends the process). Its timer is a Python thread, which
never runs while native code keeps the interpreter lock (a run that does not
give it back after a callback); faulthandler's timer needs no lock, so a
minute after the limit it prints every thread's stack, the test's frame among
them, and ends the process with status 1."""

import faulthandler
import os
import sys

import pytest

_stderr = None


def pytest_configure(config):
    global _stderr
    _stderr = os.dup(sys.stderr.fileno())  # the terminal's, not a test's captured stream


@pytest.fixture(autouse=True)
def _no_lock_hang_outlives_its_limit(request):
    mark = request.node.get_closest_marker("timeout")
    if mark is None or _stderr is None:
        yield
        return
    faulthandler.dump_traceback_later(mark.args[0] + 60, exit=True, file=_stderr)
    yield
    faulthandler.cancel_dump_traceback_later()
