# Shared by the CI scripts that build allotra in another configuration: build
# it into a virtual environment of its own, with the native tests in the same
# build tree, and run the whole test suite against that build. Sourced:
#
#     build_in_venv NAME [pip -C options...]   # sets ALLOTRA_MODULE_FILE, ALLOTRA_BUILD_TREE
#     run_suite NAME
#
# NAME names the venv, /tmp/allotra-NAME-<python version>-<checkout> unless
# ALLOTRA_VENV says otherwise; it and its incremental CMake build are kept
# between runs. PYTHON is the interpreter to build the venv from (python3).

ALLOTRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

venv_of() {
    local python version checkout
    python="${PYTHON:-python3}"
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    # One venv per checkout: its CMake build remembers the source path.
    checkout="$(printf %s "$ALLOTRA_ROOT" | cksum | cut -d' ' -f1)"
    echo "${ALLOTRA_VENV:-/tmp/allotra-$1-$version-$checkout}"
}

build_in_venv() {
    local name="$1" venv
    shift
    venv="$(venv_of "$name")"
    if [ ! -x "$venv/bin/python" ]; then
        "${PYTHON:-python3}" -m venv "$venv"
        "$venv/bin/python" -m pip install --quiet --upgrade pip
    fi
    echo "== building allotra ($name) into $venv"
    "$venv/bin/python" -m pip install --quiet \
        -C cmake.define.ALLOTRA_NATIVE_TESTS=ON \
        -C build-dir="$venv/build" \
        "$@" "$ALLOTRA_ROOT[test]"

    # The suite must test this build, not another allotra on the path.
    ALLOTRA_MODULE_FILE="$(cd / && "$venv/bin/python" -c 'import allotra; print(allotra.__file__)')"
    case "$ALLOTRA_MODULE_FILE" in
        "$venv"/*) ;;
        *) echo "build_in_venv: allotra resolves to $ALLOTRA_MODULE_FILE, not to $venv" >&2; return 1 ;;
    esac
    ALLOTRA_BUILD_TREE="$venv/build"
}

run_suite() {
    local venv
    venv="$(venv_of "$1")"
    echo "== test suite ($1)"
    (cd "$ALLOTRA_ROOT" && ALLOTRA_NATIVE_BUILD="$venv/build" "$venv/bin/python" -m pytest -p no:cacheprovider)
}
