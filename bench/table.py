#!/usr/bin/env python3
"""Prints the README's table from veldc_bench JSON files: ratio to the limit and CPU share of each
case, one column pair per file, in the order given.

    python3 bench/table.py bench/results/before-quiet.json bench/results/after-quiet.json ...
"""
import json
import sys


def main(paths):
    runs = [json.load(open(p)) for p in paths]
    head = "| link | operation | " + " | ".join(
        f"{r['label']} ratio | {r['label']} CPU" for r in runs) + " |"
    print(head)
    print("|" + "---|" * (2 + 2 * len(runs)))
    for i, case in enumerate(runs[0]["cases"]):
        cells = []
        for r in runs:
            c = r["cases"][i]
            ok = "" if c["ok"] else " (failed)"
            cells += [f"{c['ratio']:.3f}{ok}", f"{100 * c['cpu_share']:.1f} %"]
        print(f"| {case['link']} | {case['operation']} | " + " | ".join(cells) + " |")
    print()
    print("Load average (1 min) at the end of each run: " +
          ", ".join(f"{r['label']} {r['load1']:.1f}" for r in runs) + ".")


if __name__ == "__main__":
    main(sys.argv[1:])
