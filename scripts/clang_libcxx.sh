#!/usr/bin/env bash
# Builds allotra with Clang and LLVM's C++ library, libc++, the compiler and
# library of macOS, and runs the whole test suite, native tests included,
# against that build. It catches what only GCC's libstdc++ accepts: headers
# that libstdc++ includes on the side, and library features libc++ lacks.
# Warnings are errors here, so that the code stays -Wpedantic clean under Clang.
#
#     scripts/clang_libcxx.sh
#
# Debian's clang, libc++-dev and libc++abi-dev are installed with apt-get when
# missing. The module links the shared libc++ (libc++.so.1, which the dynamic
# loader finds in the system library path), as modules on macOS link the
# system's. PYTHON and ALLOTRA_VENV as in scripts/suite_in_venv.sh.
set -euo pipefail
. "$(dirname "$0")/suite_in_venv.sh"

packages=(clang libc++-dev libc++abi-dev)
if ! command -v clang++ >/dev/null 2>&1 || ! dpkg -s "${packages[@]}" >/dev/null 2>&1; then
    echo "== installing ${packages[*]}"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

build_in_venv clang-libcxx \
    -C cmake.define.CMAKE_CXX_COMPILER=clang++ \
    -C cmake.define.CMAKE_CXX_FLAGS=-stdlib=libc++ \
    -C cmake.define.ALLOTRA_WERROR=ON
if ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$ALLOTRA_BUILD_TREE/CMakeCache.txt"; then
    echo "clang_libcxx.sh: $ALLOTRA_BUILD_TREE was not configured with clang++" >&2
    exit 1
fi
# The module must use libc++ alone: a libstdc++ beside it would mean that the
# flag did not reach the link.
libraries="$(ldd "$ALLOTRA_MODULE_FILE")"
case "$libraries" in
    *libstdc++*|*"not found"*) ok=no ;;
    *libc++.so*) ok=yes ;;
    *) ok=no ;;
esac
if [ "$ok" != yes ]; then
    printf 'clang_libcxx.sh: %s does not link libc++ alone:\n%s\n' "$ALLOTRA_MODULE_FILE" "$libraries" >&2
    exit 1
fi
# Tests that cannot pass with this runtime skip themselves (see test_exit.py).
export ALLOTRA_LIBCXX=1
run_suite clang-libcxx
