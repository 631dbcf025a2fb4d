#!/usr/bin/env python3
"""Which tests can notice a fault in a source file: those whose program links the file's code.

Usage: tools/mutants-tests.py BUILD_DIR FILE...   (FILE relative to the repository, e.g.
src/operations/restore.cpp)

Prints two lines for each FILE: a ctest regex of the quick tests and one of the crash program's
parts that link it; a line is empty when no such test exists. A test program links the code of a
.cpp file when it defines one of the global functions or data that the file's object defines (the
static libraries give a program only the objects it uses). A header is compiled into many
objects: for it every test is printed. Needs nm (binutils) and Python 3.
"""

import os
import re
import subprocess
import sys


def defined(path):
    """The global symbols defined in the object or program at path."""
    out = subprocess.run(["nm", "--defined-only", "-g", path], capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if len(line.split()) >= 3 and line.split()[1] in "TDBR"}


def tests_and_programs(build):
    out = subprocess.run(["ctest", "--test-dir", build, "-N", "-V"], capture_output=True, text=True).stdout
    commands = {}
    for m in re.finditer(r"^(\d+): Test command: (\S+)", out, re.M):
        commands[m.group(1)] = m.group(2)
    tests = {}
    for m in re.finditer(r"^\s*Test\s+#(\d+): (\S+)", out, re.M):
        tests[m.group(2)] = commands.get(m.group(1))
    return tests


def objects_of(build, source):
    """The object files compiled from source (a path relative to the repository)."""
    tail = source.split("/", 1)[1] if source.startswith("src/") else source
    found = []
    for folder, _, names in os.walk(build):
        for name in names:
            path = os.path.join(folder, name)
            if name.endswith(".o") and path.endswith("/" + tail + ".o"):
                found.append(path)
    return found


def main():
    build, files = sys.argv[1], sys.argv[2:]
    tests = tests_and_programs(build)
    symbols = {}
    for source in files:
        chosen = []
        objects = [] if source.endswith(".h") else objects_of(build, source)
        own = set()
        for obj in objects:
            own |= defined(obj)
        for name, program in sorted(tests.items()):
            if not objects or not own:
                chosen.append(name)  # a header, or no object found: every test
                continue
            if program not in symbols:
                symbols[program] = defined(program) if program and os.path.exists(program) else set()
            if own & symbols[program]:
                chosen.append(name)
        quick = [t for t in chosen if not t.startswith("crash_")]
        crash = [t for t in chosen if t.startswith("crash_")]
        print("^(" + "|".join(quick) + ")$" if quick else "")
        print("^(" + "|".join(crash) + ")$" if crash else "")


if __name__ == "__main__":
    sys.exit(main())
