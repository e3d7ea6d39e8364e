#!/usr/bin/env bash
# Builds allotra with AddressSanitizer and UndefinedBehaviorSanitizer into a
# virtual environment of its own and runs the whole test suite against it:
#
#     scripts/sanitize.sh [extra pytest arguments]
#
# Settings (environment):
#   PYTHON               interpreter to build the venv from (default: python3)
#   ALLOTRA_SANITIZE_VENV  where the venv and its incremental build live
#                        (default: /tmp/allotra-sanitize-<python version>-<checkout>)
#
# How it runs:
# - The module is built with -C cmake.define.ALLOTRA_SANITIZE=ON (see
#   cmake/sanitizers.cmake), in RelWithDebInfo so that reports have lines.
# - The interpreter itself is not instrumented, so the ASan runtime must be
#   loaded first: LD_PRELOAD of `g++ -print-file-name=libasan.so` (and of
#   libstdc++, see below).
# - detect_leaks=0 for the test suite: CPython frees little at exit, and the
#   exit-time leak report would be all interpreter. Leaks of our own are
#   looked for separately below: after exercising every entry point, a
#   leak check runs in the middle of the process (PYTHONMALLOC=malloc, so
#   that every Python object lives on the checked heap), where everything the
#   interpreter still uses is reachable and only what was truly lost shows.
# - allocator_may_return_null=1: tests that ask NumPy for impossible amounts
#   of memory expect MemoryError rather than an ASan abort. (A C++ `new` that
#   fails is still fatal under ASan; the tests that provoke one skip
#   themselves when ALLOTRA_SANITIZE=1.)
# - UBSan stops at the first error (the build also uses
#   -fno-sanitize-recover=undefined) and prints a stack trace.
# - The native kernel tests are built into the same sanitized tree, and
#   ALLOTRA_NATIVE_BUILD points tests/test_kernel_native.py at it.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-python3}"
version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
# One venv per checkout: its incremental CMake build remembers the source path.
checkout="$(printf %s "$root" | cksum | cut -d' ' -f1)"
venv="${ALLOTRA_SANITIZE_VENV:-/tmp/allotra-sanitize-$version-$checkout}"

asan_runtime="$(g++ -print-file-name=libasan.so)"
if [ ! -e "$asan_runtime" ]; then
    echo "sanitize.sh: no AddressSanitizer runtime found (g++ -print-file-name=libasan.so)" >&2
    exit 1
fi
# libstdc++ is preloaded too: the interpreter does not link it, and ASan can
# intercept __cxa_throw only if the C++ runtime is there when ASan starts
# (otherwise the first C++ exception aborts with "real___cxa_throw != 0").
preload="$(readlink -f "$asan_runtime") $(readlink -f "$(g++ -print-file-name=libstdc++.so)")"

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv --system-site-packages "$venv"
fi
echo "== building the sanitized module into $venv"
"$venv/bin/python" -m pip install --quiet \
    -C cmake.define.ALLOTRA_SANITIZE=ON \
    -C cmake.define.ALLOTRA_NATIVE_TESTS=ON \
    -C cmake.build-type=RelWithDebInfo \
    -C build-dir="$venv/build" \
    "$root[test]"

module="$(LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 \
    "$venv/bin/python" -c 'import allotra; print(allotra.__file__)')"
case "$module" in
    "$venv"/*) ;;
    *) echo "sanitize.sh: allotra resolves to $module, not to the sanitized build" >&2; exit 1 ;;
esac
# ldd's output is captured before it is searched: with pipefail, `ldd | grep -q`
# fails at random when grep exits before ldd has finished writing (SIGPIPE).
libraries="$(ldd "$module")"
case "$libraries" in
    *libasan*) ;;
    *) printf 'sanitize.sh: %s is not linked against the ASan runtime:\n%s\n' \
           "$module" "$libraries" >&2
       exit 1 ;;
esac

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ALLOTRA_SANITIZE=1
export ALLOTRA_NATIVE_BUILD="$venv/build"

echo "== test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cd "$root"
LD_PRELOAD="$preload" \
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1" \
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@"

echo "== leak check of the entry points (LeakSanitizer, mid-process)"
LD_PRELOAD="$preload" \
ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1:abort_on_error=1" \
PYTHONMALLOC=malloc \
    "$venv/bin/python" - <<'EOF'
import ctypes
import sys

import numpy as np

import allotra


def exercise():
    rng = np.random.default_rng()
    for _ in range(200):
        m, n = (int(v) for v in rng.integers(0, 5, size=2))
        c = rng.integers(-5, 20, size=(m, n))
        b = rng.integers(-2, 6, size=(m, n))
        w = rng.random((m, n))
        task = allotra.Task(m, n, c, b[::-1], 7, np.asfortranarray(w))
        task.validate()
        allotra.ProbabilisticAssignmentSolver(kmax=5).solve(task)
        failing = [
            # May also fail: a deposit scale of 0 can make a weight infinite.
            lambda: allotra.AntColonyAssignmentSolver(num_ants=3, kmax=3).solve(task=task),
            lambda: allotra.Task(m, n, c.astype(np.int32), b, 7, w),
            lambda: allotra.Task(m, n, c, b, 0, w),
            lambda: allotra.Task(m + 1, n, c, b, 7, w),
            lambda: allotra.Task(-1, n, c, b, 7, w),
            lambda: allotra.Task(m, n, c, b, 7, w, 1),
            lambda: allotra.AntColonyAssignmentSolver(alpha="x"),
            lambda: allotra.ProbabilisticAssignmentSolver(kmax=None),
            lambda: allotra.ProbabilisticAssignmentSolver(kmax=2**64 - 1).solve(task),
            lambda: allotra.AntColonyAssignmentSolver(num_ants=2**64 - 1).solve(task),
            lambda: allotra.ProbabilisticAssignmentSolver().solve(task=3),
            lambda: allotra.AntColonyAssignmentSolver().solve(),
        ]
        for call in failing:
            try:
                call()
            except BaseException:
                pass
    panic = allotra.Task(1, 1, np.ones((1, 1), np.int64), np.zeros((1, 1), np.int64), 1, np.zeros((1, 1)))
    for _ in range(50):
        try:
            allotra.AntColonyAssignmentSolver(beta=-1.0, num_ants=4, kmax=2).solve(panic)
        except BaseException:
            pass


exercise()
check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
check.restype = ctypes.c_int
leaked = check()
print("leak check:", "LEAKS FOUND" if leaked else "no leaks")
sys.exit(1 if leaked else 0)
EOF
