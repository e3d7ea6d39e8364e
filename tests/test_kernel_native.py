"""Runs the native tests of the solving kernel and the constructions.

The kernel (random stream, weighted choice, worker pool, matrices) and the
constructions' agreement with their reference form have no Python surface, so
they are tested by a C++ program that is an option of the project's one CMake
build. The test command builds it along with the module
(`-C cmake.define.ALLOTRA_NATIVE_TESTS=ON`, into the build tree that
pyproject.toml names), and this runs the program found there, so a test run
configures and compiles nothing. (The tree is not rebuilt from here: it may
remember the cmake of pip's temporary build environment, which is gone.)
ALLOTRA_NATIVE_BUILD names another tree (the sanitizer run's). Without any,
the project is configured once into build/native with the core and the tests
alone.

Each native test is a test here, named as in its TEST(...) (`pytest -k
worker_pool`): the program lists them (`--list`), and one run of it takes the
names of all the selected ones and reports each (`--results`). A test that
ends the program is failed with what the program printed, and the program is
started again for the tests after it.
"""

import functools
import itertools
import json
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
OPTION = "ALLOTRA_NATIVE_TESTS:BOOL=ON"
# For one run of the program over the selected tests; a hung test is failed.
DEADLINE_SECONDS = 600


class Unavailable(Exception):
    """No program to run; `skip` when the machine lacks the tools to build one."""

    def __init__(self, reason, skip=False):
        super().__init__(reason)
        self.skip = skip


@dataclass
class NativeResult:
    passed: bool
    failures: str  # what the harness recorded, or how the program ended
    output: str  # what the program printed while the test ran


def _cmake():
    found = shutil.which("cmake")
    if found:
        return found
    try:
        import cmake  # the PyPI wheel carries its own binary
    except ImportError:
        raise Unavailable("cmake is not available", skip=True) from None
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


def _program_in(tree):
    folder = tree / "tests" / "kernel"
    for candidate in ("kernel_tests", "kernel_tests.exe", "Release/kernel_tests.exe", "Release/kernel_tests"):
        if (folder / candidate).is_file():
            return folder / candidate
    return None


def _built_program():
    for tree in _module_build_trees():
        program = _program_in(tree)
        if program is not None:
            return program
    if os.environ.get("ALLOTRA_NATIVE_BUILD"):
        raise Unavailable(f"no kernel_tests program in {os.environ['ALLOTRA_NATIVE_BUILD']}")
    cmake = _cmake()
    tree = ROOT / "build" / "native"
    configure = [cmake, "-S", str(ROOT), "-B", str(tree), "-DALLOTRA_MODULE=OFF", "-DALLOTRA_NATIVE_TESTS=ON"]
    # --config matters only to multi-configuration generators (Visual Studio).
    build = [cmake, "--build", str(tree), "--target", "kernel_tests", "--config", "Release", "--parallel", "2"]
    for command in (configure, build):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise Unavailable(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}")
    program = _program_in(tree)
    if program is None:
        raise Unavailable(f"no kernel_tests program in {tree}")
    return program


def _listed_program():
    program = _built_program()
    done = subprocess.run([str(program), "--list"], capture_output=True, text=True, timeout=60)
    names = done.stdout.split()
    if done.returncode != 0 or not names:
        raise Unavailable(f"{program} --list gave no tests (status {done.returncode}):\n{done.stdout}{done.stderr}")
    return program, names


@functools.cache
def _found():
    try:
        return _listed_program()
    except Unavailable as missing:
        return missing  # kept too: a failed build is not tried again


def _program_and_names():
    """The program and its tests, found (or built) once for collection and run."""
    found = _found()
    if isinstance(found, Unavailable):
        raise found
    return found


def pytest_generate_tests(metafunc):
    if "native_test" not in metafunc.fixturenames:
        return
    try:
        _, names = _program_and_names()
    except Unavailable as missing:
        # One test stands for the program, so that its absence shows without
        # stopping the collection of the other test files.
        mark = pytest.mark.skip(reason=str(missing)) if missing.skip else ()
        metafunc.parametrize("native_test", [pytest.param(None, id="kernel_tests", marks=mark)])
        return
    metafunc.parametrize("native_test", names, ids=names)


def _records(path):
    if not path.is_file():
        return []
    lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
    return [json.loads(line) for line in lines if line.strip()]


def _output_of(test, stdout):
    """The lines that the program printed between the start and end of `test`."""
    lines = stdout.splitlines(keepends=True)
    start = f"RUN  {test}\n"
    if start not in lines:
        return ""
    first = lines.index(start)
    ends = (f"OK   {test}\n", f"FAIL {test}\n")
    last = next((i for i in range(first, len(lines)) if lines[i] in ends), len(lines) - 1)
    return "".join(lines[first : last + 1])


def _text(stream):
    if stream is None:
        return ""
    return stream.decode(errors="replace") if isinstance(stream, bytes) else stream


def _run_once(program, tests, results_path):
    """Runs the program over `tests`: their results, and the output that no result accounts for."""
    command = [str(program), "--results", str(results_path), *tests]
    try:
        done = subprocess.run(command, capture_output=True, text=True, errors="replace", timeout=DEADLINE_SECONDS)
        stdout, stderr = done.stdout, done.stderr
        status = done.returncode
        ending = f"the program was ended by signal {-status}" if status < 0 else f"the program exited with {status}"
    except subprocess.TimeoutExpired as late:
        stdout, stderr, status = _text(late.stdout), _text(late.stderr), None
        ending = f"the program had not finished after {DEADLINE_SECONDS} s and was stopped"
    results = {}
    for record in _records(results_path):
        test = record["test"]
        if record["event"] == "end":
            failures = "\n".join(record["failures"])
            results[test] = NativeResult(record["passed"], failures, _output_of(test, stdout))
        elif record["event"] == "start":
            # Replaced by the end record if there is one.
            results[test] = NativeResult(False, f"{ending} during this test\n{stderr[-5000:]}", _output_of(test, stdout))
    if status != 0 and results and all(result.passed for result in results.values()):
        # Nothing failed, yet the program did (while exiting, say): the last
        # test to run takes the blame, so that it shows.
        last = list(results)[-1]
        failure = f"{ending} after this test, the last one it ran\n{stderr[-5000:]}"
        results[last] = NativeResult(False, failure, results[last].output)
    return results, f"{ending}:\n{stdout[-5000:]}{stderr[-5000:]}"


def _run(program, tests, folder):
    """Results of `tests`; the program is started again after one that ends it."""
    results = {}
    pending = list(tests)
    for run in itertools.count():
        if not pending:
            return results
        found, account = _run_once(program, pending, folder / f"results-{run}.jsonl")
        if not any(test in found for test in pending):  # refused the run, or died before any test
            found = {test: NativeResult(False, account, "") for test in pending}
        results.update(found)
        pending = [test for test in pending if test not in results]


@pytest.fixture(scope="session")
def native_results(request, tmp_path_factory):
    """Results of the native tests selected in this session, from one run of the program."""
    try:
        program, _ = _program_and_names()
    except Unavailable as missing:
        pytest.fail(str(missing), pytrace=False)
    this_file = Path(__file__).resolve()
    selected = []
    for item in request.session.items:  # what is left after -k and the like
        params = item.callspec.params if hasattr(item, "callspec") else {}
        if "native_test" in params and Path(item.path).resolve() == this_file:
            selected.append(params["native_test"])
    return _run(program, selected, tmp_path_factory.mktemp("kernel_tests"))


def test_native(native_test, native_results):
    result = native_results[native_test]
    sys.stdout.write(result.output)
    if not result.passed:
        pytest.fail(result.failures, pytrace=False)
