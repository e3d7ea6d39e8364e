#!/usr/bin/env bash
# Windows, as far as a Linux machine takes it:
# 1. cross-builds the core and the native tests with MinGW-w64 and runs the
#    tests under Wine;
# 2. compiles the module against Windows CPython and NumPy headers and links
#    it into allotra.pyd, which must export PyInit_allotra alone. The import
#    library of python3XY.dll is made from what CPython's headers declare
#    exported (scripts/cpython_exports.py), so a call to anything else fails
#    the link. Nothing here imports the module on Windows.
# Installs MinGW-w64 and Wine from Debian when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
triple=x86_64-w64-mingw32
# Windows CPython's headers come from Debian's source package of this Python.
python_source=python3.11
python_dll=python311.dll

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

missing=()
for package in g++-mingw-w64-x86-64-posix wine wine64; do
    if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing ${missing[*]}"
    apt-get update -qq
    # 64-bit Wine alone runs 64-bit programs: no i386 architecture, no wine32.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# CPython's Windows headers: Include/ and PC/pyconfig.h, laid out as an
# installed Windows Python has them. The deb-src entries live in a list of
# their own, read with a lists folder of its own, so the system's apt state is
# left as it was.
apt_source_dir="$work/apt"
mkdir -p "$apt_source_dir/parts" "$apt_source_dir/lists/partial"
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list | grep -v -- '-security' || true
fi >"$apt_source_dir/sources.list"
for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /debian-archive-keyring/ && !/-security/ { sub(/Types: deb\n/, "Types: deb-src\n"); print }' "$file"
done >"$apt_source_dir/parts/debian-sources.sources"
apt_source=(-o "Dir::Etc::SourceList=$apt_source_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_source_dir/parts"
            -o "Dir::State::Lists=$apt_source_dir/lists" -o APT::Sandbox::User=root)
apt-get -qq "${apt_source[@]}" update
(cd "$apt_source_dir" && apt-get -qq "${apt_source[@]}" source --download-only "$python_source" >/dev/null)
mkdir -p "$work/cpython" "$work/python/include"
tar -xf "$apt_source_dir/${python_source}"_*.orig.tar.* -C "$work/cpython" --strip-components=1 \
    --wildcards '*/Include/*' '*/PC/pyconfig.h'
cp -r "$work/cpython/Include/." "$work/python/include/"
cp "$work/cpython/PC/pyconfig.h" "$work/python/include/"

# NumPy's headers from its Windows wheel for the same Python.
python_version=$(sed -n 's/^python\([0-9.]*\)$/\1/p' <<<"$python_source")
python -m pip download --quiet --no-deps --only-binary=:all: --platform win_amd64 \
    --python-version "$python_version" --dest "$work/wheel" numpy
python - "$work/wheel" "$work/numpy" <<'EOF'
import pathlib, sys, zipfile
wheel = next(pathlib.Path(sys.argv[1]).glob("numpy-*.whl"))
with zipfile.ZipFile(wheel) as archive:
    archive.extractall(sys.argv[2], [n for n in archive.namelist() if n.startswith("numpy/_core/include/")])
EOF

# The import library of the DLL: what its headers declare exported, as the
# Windows compiler's preprocessor sees them.
import_library="$work/python/lib${python_dll%.dll}.dll.a"
python scripts/cpython_exports.py "$work/python/include" "$python_dll" "$triple-g++" -E -P -std=c++20 \
    >"$work/python/${python_dll%.dll}.def"
"$triple-dlltool" --input-def "$work/python/${python_dll%.dll}.def" --output-lib "$import_library"

build="$work/build"
cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DALLOTRA_NATIVE_TESTS=ON \
    -DALLOTRA_PYTHON_INCLUDE="$work/python/include" \
    -DALLOTRA_PYTHON_LIBRARY="$import_library" \
    -DALLOTRA_NUMPY_INCLUDE="$work/numpy/numpy/_core/include" >/dev/null

echo "== Windows: native tests under Wine"
cmake --build "$build" --parallel 2 --target kernel_tests >/dev/null
export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A fresh prefix says how it set itself up (and that 32-bit Wine is absent).
wine wineboot --init >/dev/null 2>&1
set +e
wine "$build/tests/kernel/kernel_tests.exe" | grep -v '^RUN '
status=${PIPESTATUS[0]}
set -e
wineserver -k 2>/dev/null || true
[ "$status" -eq 0 ]

echo "== Windows: the module compiles and links against $python_dll"
echo "($(grep -c '^    ' "$work/python/${python_dll%.dll}.def") symbols declared exported by its headers)"
cmake --build "$build" --parallel 2 --target allotra >/dev/null

"$triple-objdump" -p "$build/src/lib/allotra.pyd" >"$work/allotra.pyd.txt"
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && NF == 0 { table = 0 } table { print $NF }' \
    "$work/allotra.pyd.txt")
imports=$(sed -n 's/^\tDLL Name: //p' "$work/allotra.pyd.txt" | tr '\n' ' ')
echo "allotra.pyd exports: $exports"
echo "allotra.pyd imports from: $imports"
[ "$exports" = "PyInit_allotra" ]
grep -q "$python_dll" <<<"$imports"
