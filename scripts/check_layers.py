#!/usr/bin/env python3
"""Fails when a unit of the library includes a header of a layer above its own.

The layers, lowest first; a unit may include headers of its own layer and of those below it.
Top-level units of src/ (the library's state reset, the shared library's entry) sit above all.
Usage: check_layers.py [SRC_DIR]   (default: the src/ beside this script's folder)
"""
import pathlib
import re
import sys

LAYERS = ["platform", "core", "meter", "device", "protocol", "pelo", "services"]
TOP = len(LAYERS)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(relative):
    parts = pathlib.PurePosixPath(relative).parts
    if len(parts) == 1:
        return TOP
    return LAYERS.index(parts[0]) if parts[0] in LAYERS else None


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                       pathlib.Path(__file__).resolve().parent.parent / "src")
    faults = []
    checked = 0
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        own = layer_of(path.relative_to(src).as_posix())
        if own is None:
            continue
        checked += 1
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            target = layer_of(name)
            if target is not None and (src / name).exists() and target > own:
                faults.append(f"{path.relative_to(src)}: includes {name} "
                              f"({LAYERS[target] if target < TOP else 'top'} above "
                              f"{LAYERS[own] if own < TOP else 'top'})")
    for fault in faults:
        print(fault)
    print(f"{checked} units checked, {len(faults)} upward includes")
    return 1 if faults or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
