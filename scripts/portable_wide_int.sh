#!/usr/bin/env bash
# Builds allotra with the two-word 128-bit integer (ALLOTRA_PORTABLE_WIDE_INT),
# the form that compilers without a 128-bit type use, and runs the whole test
# suite, native tests included, against that build. Warnings are errors here,
# so that the core stays -Wpedantic clean under GCC:
#
#     scripts/portable_wide_int.sh
#
# PYTHON and ALLOTRA_VENV as in scripts/suite_in_venv.sh.
set -euo pipefail
. "$(dirname "$0")/suite_in_venv.sh"

build_in_venv portable-wide-int -C cmake.define.ALLOTRA_PORTABLE_WIDE_INT=ON -C cmake.define.ALLOTRA_WERROR=ON
# The option must have reached the build, or this run proves nothing.
if ! grep -q '^ALLOTRA_PORTABLE_WIDE_INT:BOOL=ON$' "$ALLOTRA_BUILD_TREE/CMakeCache.txt"; then
    echo "portable_wide_int.sh: $ALLOTRA_BUILD_TREE was not configured with ALLOTRA_PORTABLE_WIDE_INT=ON" >&2
    exit 1
fi
run_suite portable-wide-int
