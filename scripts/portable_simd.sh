#!/usr/bin/env bash
# Runs the whole test suite, native tests included, with the portable forms of
# the vectorised kernels (ALLOTRA_SIMD=portable), which processors without
# AVX2 get, on a machine whose processor has it:
#
#     scripts/portable_simd.sh
#
# The setting is read at run time, so nothing is rebuilt: the suite runs
# against the allotra that PYTHON (default: python) has installed by the test
# command of the README, with its native tests in this checkout's build tree.
# Without such an install it builds one into a virtual environment of its own,
# as scripts/suite_in_venv.sh does.
set -euo pipefail
. "$(dirname "$0")/suite_in_venv.sh"
export ALLOTRA_SIMD=portable

python="${PYTHON:-python}"
native_tree=""
for cache in "$ALLOTRA_ROOT"/build/*/CMakeCache.txt; do
    if [ -f "$cache" ] && grep -q '^ALLOTRA_NATIVE_TESTS:BOOL=ON$' "$cache"; then native_tree=yes; fi
done
if [ -n "$native_tree" ] && (cd / && "$python" -c 'import allotra') 2>/dev/null; then
    echo "== test suite (portable SIMD forms, installed allotra)"
    (cd "$ALLOTRA_ROOT" && "$python" -m pytest -p no:cacheprovider)
else
    PYTHON="$python" build_in_venv portable-simd
    PYTHON="$python" run_suite portable-simd
fi
