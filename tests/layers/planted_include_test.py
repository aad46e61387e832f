#!/usr/bin/env python3
"""The layer check over a copy of src/: the copy passes as it is, and fails, naming the unit,
once an upward include is planted in it (a core unit that includes a service header)."""
import pathlib
import shutil
import subprocess
import sys
import tempfile

checker, src = sys.argv[1], pathlib.Path(sys.argv[2])
with tempfile.TemporaryDirectory() as temp:
    tree = pathlib.Path(temp) / "src"
    shutil.copytree(src, tree)
    check = [sys.executable, checker, str(tree)]
    clean = subprocess.run(check, capture_output=True, text=True)
    planted = tree / "core" / "errors.cpp"
    planted.write_text('#include "services/files.h"\n' + planted.read_text())
    dirty = subprocess.run(check, capture_output=True, text=True)
if clean.returncode != 0:
    sys.exit("the unchanged copy fails:\n" + clean.stdout)
if dirty.returncode == 0 or "core/errors.cpp: includes services/files.h" not in dirty.stdout:
    sys.exit(f"the planted include went unnoticed (exit {dirty.returncode}):\n{dirty.stdout}")
print("1 passed, 0 failed")
