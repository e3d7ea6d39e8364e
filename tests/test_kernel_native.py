"""Builds the native kernel tests with CMake and runs them.

The solving kernel (random stream, weighted choice, worker pool, matrices)
has no Python surface of its own, so it is tested by a C++ program.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "kernel"


def _cmake():
    found = shutil.which("cmake")
    if found:
        return found
    try:
        import cmake  # the PyPI wheel carries its own binary
    except ImportError:
        pytest.skip("cmake is not available")
    return os.path.join(cmake.CMAKE_BIN_DIR, "cmake")


@pytest.fixture(scope="session")
def kernel_tests_binary(tmp_path_factory):
    build = tmp_path_factory.mktemp("kernel-build")
    cmake = _cmake()
    configure = [cmake, "-S", str(SOURCE), "-B", str(build)]
    if os.environ.get("ALLOTRA_SANITIZE") == "1":
        configure.append("-DALLOTRA_SANITIZE=ON")
    for command in (configure, [cmake, "--build", str(build), "--parallel", "2"]):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    return build / "kernel_tests"


def test_kernel(kernel_tests_binary):
    done = subprocess.run([str(kernel_tests_binary)], capture_output=True, text=True, timeout=600)
    sys.stdout.write(done.stdout)
    assert done.returncode == 0, done.stdout[-20000:] + done.stderr[-5000:]
