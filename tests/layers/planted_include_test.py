#!/usr/bin/env python3
"""The layer check over a copy of src/: the copy passes as it is, and fails, naming the unit,
once an upward include is planted in it (a core unit that includes a service header)."""
import pathlib
import shutil
import subprocess
import sys
import tempfile

checker, src = sys.argv[1], pathlib.Path(sys.argv[2])


def check(tree):
    return subprocess.run([sys.executable, checker, str(tree)], capture_output=True, text=True)


with tempfile.TemporaryDirectory() as temp:
    tree = pathlib.Path(temp) / "src"
    shutil.copytree(src, tree)
    clean = check(tree)
    if clean.returncode != 0:
        sys.exit("the unchanged copy fails:\n" + clean.stdout)
    planted = tree / "core" / "errors.cpp"
    planted.write_text('#include "services/files.h"\n' + planted.read_text())
    dirty = check(tree)
    expected = "core/errors.cpp: includes services/files.h"
    if dirty.returncode == 0 or expected not in dirty.stdout:
        sys.exit(f"the planted include went unnoticed (exit {dirty.returncode}):\n{dirty.stdout}")
print("1 passed, 0 failed")
