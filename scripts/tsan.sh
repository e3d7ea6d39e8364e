#!/usr/bin/env bash
# Builds the native tests of the kernel (worker pool, stop flag, random
# streams, constructions) with ThreadSanitizer and runs them:
#
#     scripts/tsan.sh [part of a test name]
#
# Settings (environment):
#   CXX                  the compiler (default: g++, whose libtsan ships with GCC;
#                        on Debian the package libtsan2 or its successor)
#   CMAKE                cmake to use (default: cmake on PATH, else the PyPI one)
#   ALLOTRA_TSAN_BUILD   the build tree (default: /tmp/allotra-tsan-<checkout>)
#
# Only the native tests are checked: the Python module would need an
# instrumented interpreter (TSan must see every thread's memory accesses and
# every lock, and cannot be preloaded into an uninstrumented process the way
# AddressSanitizer can). The pool, the stop flag and everything the solvers
# run on worker threads are reached by the native tests.
#
# TSAN_OPTIONS:
# - halt_on_error=1, exitcode=66: the first report fails the run.
# - die_after_fork=0: the fork tests start threads in the child of a
#   multi-threaded process on purpose (the pool a child builds afresh); TSan
#   would otherwise end such a child at once.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
checkout="$(printf %s "$root" | cksum | cut -d' ' -f1)"
build="${ALLOTRA_TSAN_BUILD:-/tmp/allotra-tsan-$checkout}"
cmake="${CMAKE:-}"
if [ -z "$cmake" ]; then
    # The PyPI wheel of cmake, which the module's build uses, when there is no other.
    cmake="$(command -v cmake || python3 -c 'import cmake, os; print(os.path.join(cmake.CMAKE_BIN_DIR, "cmake"))')"
fi
export CXX="${CXX:-g++}"

runtime="$("$CXX" -print-file-name=libtsan.so)"
if [ ! -e "$runtime" ]; then
    echo "tsan.sh: no ThreadSanitizer runtime found ($CXX -print-file-name=libtsan.so)" >&2
    exit 1
fi

echo "== building the native tests with ThreadSanitizer into $build"
"$cmake" -S "$root" -B "$build" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DALLOTRA_MODULE=OFF \
    -DALLOTRA_NATIVE_TESTS=ON \
    -DALLOTRA_SANITIZE_THREAD=ON >/dev/null
"$cmake" --build "$build" --target kernel_tests -j 2

program="$build/tests/kernel/kernel_tests"
# The option must have reached the program, or this run proves nothing.
libraries="$(ldd "$program")"
case "$libraries" in
    *libtsan*) ;;
    *) printf 'tsan.sh: %s is not linked against the TSan runtime:\n%s\n' "$program" "$libraries" >&2
       exit 1 ;;
esac

echo "== native tests under ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1:exitcode=66:die_after_fork=0:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}" \
    "$program" "$@"
