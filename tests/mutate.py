#!/usr/bin/env python3
"""Seeded mutants of the library, each rebuilt and run against the unit and integration suites.

A mutant is one fault in src/ outside the platform backends (a comparison flipped, an integer
constant off by one, a call dropped); it is killed when a suite fails or times out on it, and not
counted when it does not compile. Works on a copy of the tree; builds go through ccache:
  tests/mutate.py --count 60 --seed 10 [--tests-from OTHER_TREE (whose tests/ are run)]
"""
import argparse, os, pathlib, random, re, shutil, subprocess, sys, time

ROOT = pathlib.Path(__file__).resolve().parent.parent
FLIPS = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
COMPARISON = re.compile(r" (==|!=|<=|>=|<|>) ")
LITERAL = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'')
CONSTANT = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
CALL = re.compile(r"^(\s+)(?!return\b|if\b|while\b|for\b|switch\b|case\b|delete\b)"
                  r"[A-Za-z_][\w:.>-]*(?:<[^;]*>)?\([^;]*\);\s*$")
UNIT = "tests/unit/veldc_unit_tests"
INTEGRATION = ["tests/integration/veldc_posix_tests", "tests/integration/veldc_integration_tests"]
TARGETS = ["veldc_unit_tests", "veldc_posix_tests", "veldc_integration_tests"]


def code_part(line):
    """The line with its string/char literals and its // comment blanked (same length)."""
    line = LITERAL.sub(lambda m: " " * len(m.group()), line)
    return line.split("//", 1)[0].ljust(len(line))


def sites(src):
    found = []
    for folder in ["core", "device", "meter", "protocol", "pelo", "services"]:
        for path in sorted((src / folder).glob("*.cpp")):
            rel = path.relative_to(src.parent).as_posix()
            for number, line in enumerate(path.read_text().splitlines()):
                if line.strip().startswith(("#", "//", "static_assert")):
                    continue
                code = code_part(line)
                found += [(rel, number, m.start(1), m.group(1), FLIPS[m.group(1)])
                          for m in COMPARISON.finditer(code)]
                found += [(rel, number, m.start(1), m.group(1), str(int(m.group(1)) + 1))
                          for m in CONSTANT.finditer(code)]
                if CALL.match(code):
                    found.append((rel, number, len(line) - len(line.lstrip()), line.strip(),
                                  "(void)0;"))
    return found


def run(command, cwd, timeout, env=None):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, env=env,
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
    tree, build = work / "tree", work / "build"
    shutil.rmtree(tree, ignore_errors=True)
    # Everything but the tests, the builds and the repository, with fresh times: an object that a
    # run killed mid-mutant left in the build is then never taken for up to date.
    top = {".git", "build", "tests"}
    shutil.copytree(ROOT, tree, copy_function=shutil.copy,
                    ignore=lambda folder, names: top & set(names) if folder == str(ROOT) else [])
    tests = pathlib.Path(args.tests_from) / "tests"
    shutil.copytree(tests, tree / "tests", copy_function=shutil.copy)
    env = dict(os.environ)
    env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    subprocess.run(["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                    "-DVELDC_TESTS=ON"], check=True, stdout=subprocess.DEVNULL, env=env)
    rebuild = ["cmake", "--build", build, "--target", *TARGETS]
    subprocess.run(rebuild, check=True, stdout=subprocess.DEVNULL, env=env)
    if run([build / UNIT], build, args.timeout) != 0:
        sys.exit("the unmutated tree fails its unit tests")

    chosen = random.Random(args.seed).sample(sites(tree / "src"), args.count)
    killed = survived = 0
    started = time.monotonic()
    for index, (rel, number, column, old, new) in enumerate(chosen, 1):
        path = tree / rel
        lines = path.read_text().split("\n")
        original = lines[number]
        assert original[column:column + len(old)] == old, (rel, number)
        lines[number] = original[:column] + new + original[column + len(old):]
        path.write_text("\n".join(lines))
        try:
            if run(rebuild, tree, None, env) != 0:
                verdict = "does not compile"
            elif run([build / UNIT], build, args.timeout) != 0:
                verdict = "killed by unit"
            elif any(run([build / t], build, args.timeout) != 0 for t in INTEGRATION):
                verdict = "killed by integration"
            else:
                verdict = "SURVIVED"
        finally:
            lines[number] = original
            path.write_text("\n".join(lines))
        killed += verdict.startswith("killed")
        survived += verdict == "SURVIVED"
        print(f"{index:3} {rel}:{number + 1} {old!r} -> {new!r}: {verdict}", flush=True)
    subprocess.run(rebuild, stdout=subprocess.DEVNULL, env=env)
    viable = killed + survived
    print(f"mutants: {len(chosen)}, compiled: {viable}, killed: {killed}, survived: {survived}, "
          f"kill share {100.0 * killed / max(viable, 1):.1f}% ({time.monotonic() - started:.0f} s)")


if __name__ == "__main__":
    main()
