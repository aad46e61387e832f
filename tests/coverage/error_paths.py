#!/usr/bin/env python3
"""Every error code the library sets, on every path (a line of src/ naming a kErr code, outside
the table and the backends the suites do not run), is set by some test of the coverage run, or
explained in the list ("FILE CODE: why", "* CODE: why" for a whole code); a stale explanation
fails too.   Usage: error_paths.py SOURCE_DIR COVERAGE_JSON EXPLAINED_LIST"""
import json
import re
import sys
from pathlib import Path

SKIPPED = ("src/core/errors.", "src/platform/virtual/", "src/platform/win32/")
CODE = re.compile(r"(?<![=!]=\s)(?<![=!]=)\b(kErr(?!None\b)\w+)")


def main(source, report, explained_path):
    root = Path(source)
    enum = dict(re.findall(r"\b(kErr\w+)\s*=\s*(\d+)", (root / "src/core/errors.h").read_text()))
    counts = {}  # (file, line) -> times run
    for entry in json.loads(Path(report).read_text())["files"]:
        for line in entry["lines"]:
            key = (entry["file"], line["line_number"])
            counts[key] = counts.get(key, 0) + line["count"]
    paths = []  # (file, line, code, executed)
    for path in sorted((root / "src").rglob("*.[ch]*")):
        name = path.relative_to(root).as_posix()
        for number, text in enumerate(path.read_text().splitlines(), 1):
            executed = counts.get((name, number))
            # Not a line that runs: a comment, a declaration, a table.
            if name.startswith(SKIPPED) or text.lstrip().startswith("//") or executed is None:
                continue
            # SetWindowsError stores code 70 with the port's error mask.
            codes = CODE.findall(text) + (["kErrWindows"] if "SetWindowsError(" in text else [])
            paths += [(name, number, code, executed > 0) for code in codes if code in enum]

    explained = {tuple(line.partition(":")[0].split())
                 for line in Path(explained_path).read_text().splitlines()
                 if line.strip() and not line.startswith("#")}
    tested_codes = {code for _, _, code, ran in paths if ran}
    problems, used = [], set()
    untested = [((n, c), f"{n}:{line}: {c} ({enum[c]}) is set here by no test")
                for n, line, c, ran in paths if not ran]
    untested += [(("*", c), f"{c} ({v}) is set by no test")
                 for c, v in sorted(enum.items(), key=lambda c: int(c[1]))
                 if v != "0" and c not in tested_codes]
    for key, problem in untested:
        key = key if key in explained else ("*", key[1])
        if key in explained:
            used.add(key)
        else:
            problems.append(problem)
    problems += [f"stale explanation: {' '.join(k)}" for k in explained if k not in used]

    untested = sorted({(n, c) for n, _, c, ran in paths if not ran})
    print(f"error paths: {len(paths)} lines naming {len({c for _, _, c, _ in paths})} codes, "
          f"{len(tested_codes)} of the table's {len(enum) - 1} codes set by tests; untested: "
          f"{len(untested)} (file, code) pairs and {len(enum) - 1 - len(tested_codes)} codes, "
          f"{len(used)} explanations used")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
