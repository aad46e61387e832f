#!/usr/bin/env python3
"""Seeded mutants of the library, each rebuilt and run against the unit and integration suites.

Every mutant is one small fault in src/ (outside the platform backends): a comparison flipped
(== and !=, < and >=, > and <=), an integer constant off by one, or a call statement dropped.
A mutant is killed when the unit tests fail on it (or, surviving those, the POSIX and
integration tests do) or exceed the time-out; a mutant that does not compile is not counted.

It works on a copy of the tree, so the tree itself is never left mutated:
  tests/mutate.py --count 60 --seed 10
  tests/mutate.py --tests-from OTHER_TREE   (the same mutants against another tree's tests/)
The build goes through ccache (source /work/env.sh or set CMAKE_CXX_COMPILER_LAUNCHER).
"""
import argparse
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
MUTATED_DIRS = ["core", "device", "meter", "protocol", "pelo", "services"]
FLIPS = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
COMPARISON = re.compile(r" (==|!=|<=|>=|<|>) ")
CONSTANT = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
CALL = re.compile(r"^(\s+)(?!return\b|if\b|while\b|for\b|switch\b|case\b|delete\b)"
                  r"[A-Za-z_][\w:.>-]*(?:<[^;]*>)?\([^;]*\);\s*$")
UNIT = "tests/unit/veldc_unit_tests"
INTEGRATION = ["tests/integration/veldc_posix_tests", "tests/integration/veldc_integration_tests"]


def code_part(line):
    """The line without its string/char literals and its // comment (same length)."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            if c == quote:
                quote = None
            out.append(" ")
        elif c in "\"'":
            quote = c
            out.append(" ")
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[: len(line)]


def sites(src):
    found = []
    for folder in MUTATED_DIRS:
        for path in sorted((src / folder).glob("*.cpp")):
            rel = path.relative_to(src.parent).as_posix()
            for number, line in enumerate(path.read_text().splitlines()):
                stripped = line.strip()
                if stripped.startswith(("#", "//", "static_assert")):
                    continue
                code = code_part(line)
                for m in COMPARISON.finditer(code):
                    found.append((rel, number, m.start(1), m.group(1), FLIPS[m.group(1)]))
                for m in CONSTANT.finditer(code):
                    found.append((rel, number, m.start(1), m.group(1), str(int(m.group(1)) + 1)))
                if CALL.match(code):
                    found.append((rel, number, len(line) - len(line.lstrip()), stripped, "(void)0;"))
    return found


def apply(tree, site):
    rel, number, column, old, new = site
    path = tree / rel
    lines = path.read_text().split("\n")
    line = lines[number]
    assert line[column:column + len(old)] == old, site
    lines[number] = line[:column] + new + line[column + len(old):]
    path.write_text("\n".join(lines))
    return path, line


def run(command, cwd, timeout):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=60)
    parser.add_argument("--seed", type=int, default=10)
    parser.add_argument("--work", default=str(ROOT / "build" / "mutation"),
                        help="scratch folder for the copy and its build")
    parser.add_argument("--tests-from", default=str(ROOT), help="tree whose tests/ are run")
    parser.add_argument("--timeout", type=int, default=120, help="seconds per suite run")
    args = parser.parse_args()

    work = pathlib.Path(args.work).resolve()
    tree = work / "tree"
    if tree.exists():
        shutil.rmtree(tree)
    tree.mkdir(parents=True)
    for part in ["CMakeLists.txt", "CMakePresets.json", "cmake", "include", "resources", "src",
                 "sim", "tools", "examples", "scripts"]:
        source = ROOT / part
        if source.is_dir():
            shutil.copytree(source, tree / part)
        elif source.exists():
            shutil.copy2(source, tree / part)
    shutil.copytree(pathlib.Path(args.tests_from) / "tests", tree / "tests")
    build = work / "build"
    targets = ["veldc_unit_tests", "veldc_posix_tests", "veldc_integration_tests"]
    env = dict(os.environ, CMAKE_CXX_COMPILER_LAUNCHER=os.environ.get(
        "CMAKE_CXX_COMPILER_LAUNCHER", "ccache"))
    subprocess.run(["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Debug", "-DVELDC_TESTS=ON"], check=True,
                   stdout=subprocess.DEVNULL, env=env)
    subprocess.run(["cmake", "--build", str(build), "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL, env=env)
    if run([str(build / UNIT)], build, args.timeout) != 0:
        sys.exit("the unmutated tree fails its unit tests")

    chosen = random.Random(args.seed).sample(sites(tree / "src"), args.count)
    killed = survived = stillborn = 0
    started = time.monotonic()
    for index, site in enumerate(chosen, 1):
        path, original = apply(tree, site)
        try:
            built = subprocess.run(["cmake", "--build", str(build), "--target", *targets],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   env=env).returncode == 0
            if not built:
                verdict = "does not compile"
                stillborn += 1
            else:
                verdict = "killed by unit"
                if run([str(build / UNIT)], build, args.timeout) == 0:
                    verdict = "killed by integration"
                    if all(run([str(build / t)], build, args.timeout) == 0
                           for t in INTEGRATION):
                        verdict = "SURVIVED"
                if verdict == "SURVIVED":
                    survived += 1
                else:
                    killed += 1
        finally:
            lines = path.read_text().split("\n")
            lines[site[1]] = original
            path.write_text("\n".join(lines))
        print(f"{index:3} {site[0]}:{site[1] + 1} {site[3]!r} -> {site[4]!r}: {verdict}",
              flush=True)
    subprocess.run(["cmake", "--build", str(build), "--target", *targets],
                   stdout=subprocess.DEVNULL, env=env)
    viable = killed + survived
    share = 100.0 * killed / viable if viable else 0.0
    print(f"mutants: {len(chosen)}, compiled: {viable}, killed: {killed}, survived: "
          f"{survived}, kill share {share:.1f}% ({time.monotonic() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
