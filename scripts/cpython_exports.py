"""Writes the module-definition file of a Windows CPython DLL from its headers.

    python scripts/cpython_exports.py INCLUDE_DIR python311.dll PREPROCESSOR... > python311.def

INCLUDE_DIR holds the headers as an installed Windows Python has them (with
PC/pyconfig.h); PREPROCESSOR is the command of the Windows compiler that
writes preprocessed text to standard output (`x86_64-w64-mingw32-g++ -E`).

Every function and object that the headers declare with PyAPI_FUNC or
PyAPI_DATA is exported by the DLL (the macros mean dllexport when CPython
itself is compiled), so an import library made from this file (dlltool) lets
the module link only against what the DLL gives. The declarations are taken
after the Windows compiler's preprocessor has chosen among the headers'
platform branches: declarations for other platforms (pthread_stubs.h declares
pthread_create for WASI) must not enter the import library, where they would
stand in for the real ones. The headers that an extension module can include
are read: Python.h and the others at the top of INCLUDE_DIR.
"""

import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

MARKER = "ALLOTRA_EXPORTED_"
# Each declaration becomes `ALLOTRA_EXPORTED_FUNC declarator;`: the marker
# swallows the type, which leaves nothing but the declarator to read the name from.
MACRO = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(")
DIRECTIVE = re.compile(r"^\s*#")
DECLARATION = re.compile(rf"\b{MARKER}(?:FUNC|DATA)\b")
ATTRIBUTE = re.compile(r"\b__(?:attribute|declspec)__?\s*\(")
# The declared name is the first identifier followed by one of these (markers
# such as _Py_NO_RETURN are followed by the name).
NAME = re.compile(r"\b([A-Za-z_]\w*)\s*([(\[;=),])")


def after_parenthesis(text, start):
    """The index just after the parenthesis that closes the one before `start`."""
    depth = 1
    for index in range(start, len(text)):
        depth += {"(": 1, ")": -1}.get(text[index], 0)
        if depth == 0:
            return index + 1
    raise ValueError(f"unbalanced parentheses in {text[start - 1 : start + 80]!r}")


def without_attributes(text):
    while (found := ATTRIBUTE.search(text)) is not None:
        text = text[: found.start()] + " " + text[after_parenthesis(text, found.end()) :]
    return text


def marked_copy(include_dir, destination):
    """A copy of the headers whose PyAPI_FUNC(type) reads ALLOTRA_EXPORTED_FUNC(type)."""
    shutil.copytree(include_dir, destination)
    for header in destination.rglob("*.h"):
        lines = header.read_text(encoding="utf-8", errors="replace").splitlines(keepends=True)
        # The macros' own definitions stay: they are directives.
        marked = [line if DIRECTIVE.match(line) else MACRO.sub(rf"{MARKER}\1(", line) for line in lines]
        header.write_text("".join(marked), encoding="utf-8")


def preprocessed(include_dir, preprocessor):
    with tempfile.TemporaryDirectory() as work:
        marked = Path(work) / "include"
        marked_copy(include_dir, marked)
        headers = ["Python.h"] + sorted(h.name for h in marked.glob("*.h") if h.name != "Python.h")
        definitions = [f"-D{MARKER}FUNC(type)={MARKER}FUNC", f"-D{MARKER}DATA(type)={MARKER}DATA"]
        texts = []
        # One header at a time: one that does not compile on Windows (py_curses.h
        # wants curses) leaves the others readable.
        for header in headers:
            source = Path(work) / "read.cpp"
            source.write_text(f"#include <Python.h>\n#include <{header}>\n")
            done = subprocess.run([*preprocessor, *definitions, f"-I{marked}", str(source)], capture_output=True, text=True)
            if done.returncode == 0:
                texts.append(done.stdout)
            elif header == "Python.h":
                sys.exit(f"Python.h does not preprocess:\n{done.stderr}")
        return "\n".join(texts)


def exports(text):
    """Name -> whether it is data, for each declaration in preprocessed text."""
    found = {}
    for declaration in DECLARATION.finditer(text):
        declarator = without_attributes(text[declaration.end() : text.find(";", declaration.end()) + 1])
        name = NAME.search(declarator)
        if name is None:
            raise ValueError(f"no name in {declarator[:80]!r}")
        # `f(...)` is a function, whichever macro declared it (some functions
        # are declared with PyAPI_DATA); `(*f)(...)` and objects are data.
        found[name.group(1)] = found.get(name.group(1), False) or name.group(2) != "("
    return found


def main(include_dir, dll, *preprocessor):
    found = exports(preprocessed(Path(include_dir), list(preprocessor)))
    if not found:
        sys.exit(f"no PyAPI_FUNC or PyAPI_DATA declaration under {include_dir}")
    print(f"LIBRARY {dll}")
    print("EXPORTS")
    for name in sorted(found):
        print(f"    {name} DATA" if found[name] else f"    {name}")


if __name__ == "__main__":
    main(*sys.argv[1:])
