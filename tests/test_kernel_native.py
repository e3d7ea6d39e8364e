"""Runs the native tests of the solving kernel and the constructions.

The kernel (random stream, weighted choice, worker pool, matrices) and the
constructions' agreement with their reference form have no Python surface, so
they are tested by a C++ program that is an option of the project's one CMake
build. The test command builds it along with the module
(`-C cmake.define.ALLOTRA_NATIVE_TESTS=ON`, into the build tree that
pyproject.toml names), and this runs the program found there, so a test run
configures and compiles nothing. (The tree is not rebuilt from here: it
remembers the cmake of pip's temporary build environment, which is gone.)
ALLOTRA_NATIVE_BUILD names another tree (the sanitizer run's). Without any,
the project is configured once into build/native with the core and the tests
alone.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
OPTION = "ALLOTRA_NATIVE_TESTS:BOOL=ON"


def _cmake():
    found = shutil.which("cmake")
    if found:
        return found
    try:
        import cmake  # the PyPI wheel carries its own binary
    except ImportError:
        pytest.skip("cmake is not available")
    return os.path.join(cmake.CMAKE_BIN_DIR, "cmake")


def _has_native_tests(tree):
    cache = tree / "CMakeCache.txt"
    return cache.is_file() and OPTION in cache.read_text(errors="replace")


def _module_build_trees():
    """Build trees of this checkout that have the native tests, newest first."""
    named = os.environ.get("ALLOTRA_NATIVE_BUILD")
    if named:
        return [Path(named)]
    trees = [cache.parent for cache in (ROOT / "build").glob("*/CMakeCache.txt")]
    trees = [tree for tree in trees if _has_native_tests(tree)]
    return sorted(trees, key=lambda tree: (tree / "CMakeCache.txt").stat().st_mtime, reverse=True)


def _program(tree):
    folder = tree / "tests" / "kernel"
    for candidate in ("kernel_tests", "kernel_tests.exe", "Release/kernel_tests.exe", "Release/kernel_tests"):
        if (folder / candidate).is_file():
            return folder / candidate
    return None


@pytest.fixture(scope="session")
def kernel_tests_binary():
    for tree in _module_build_trees():
        program = _program(tree)
        if program is not None:
            return program
    if os.environ.get("ALLOTRA_NATIVE_BUILD"):
        pytest.fail(f"no kernel_tests program in {os.environ['ALLOTRA_NATIVE_BUILD']}")
    cmake = _cmake()
    tree = ROOT / "build" / "native"
    configure = [cmake, "-S", str(ROOT), "-B", str(tree), "-DALLOTRA_MODULE=OFF", "-DALLOTRA_NATIVE_TESTS=ON"]
    # --config matters only to multi-configuration generators (Visual Studio).
    build = [cmake, "--build", str(tree), "--target", "kernel_tests", "--config", "Release", "--parallel", "2"]
    for command in (configure, build):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    program = _program(tree)
    assert program is not None, f"no kernel_tests program in {tree}"
    return program


def test_kernel(kernel_tests_binary):
    done = subprocess.run([str(kernel_tests_binary)], capture_output=True, text=True, timeout=600)
    sys.stdout.write(done.stdout)
    assert done.returncode == 0, done.stdout[-20000:] + done.stderr[-5000:]
