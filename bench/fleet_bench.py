"""The fleet benchmark (figures for the README, not a check): a 40-device collection against its
slowest device alone (the ratio shows the parallelism), the run's CPU time and peak memory; then
10, 40, 100 and 200 Pelo devices. Prints a Markdown table and writes JSON next to it."""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "fleet"))
from fleet_sim import descendants, make_fleet, running, write_inventory  # noqa: E402


def proc_fields(pid, name):
    """Fields of /proc/PID/`name` (0 when the process is gone)."""
    try:
        with open(f"/proc/{pid}/{name}") as f:
            return f.read()
    except (FileNotFoundError, ProcessLookupError):
        return ""


def cpu_of(pid):
    """User plus system seconds of a live process."""
    fields = proc_fields(pid, "stat").rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def tree_rss(pid):
    """Resident kilobytes of `pid` and every process below it."""
    return sum(int(line.split()[1]) for p in [pid] + descendants(pid)
               for line in proc_fields(p, "status").splitlines() if line.startswith("VmRSS:"))


def measure(args, folder, devices, records):
    """One collection: wall, the run's CPU (coordinator and workers), the simulators' CPU and the
    peak resident memory of the run's processes."""
    tag = f"B{time.time_ns() % 100000}"
    with running(devices, args.sim, folder, records, tag):
        inventory = os.path.join(folder, f"bench-{len(devices)}.toml")
        write_inventory(inventory, devices, os.path.join(folder, f"bench-{tag}.db"))
        sims = -sum(cpu_of(d.proc.pid) for d in devices)
        before, start, peak = resource.getrusage(resource.RUSAGE_CHILDREN), time.time(), 0
        proc = subprocess.Popen([args.veldc, "fleet", "run", inventory], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        while proc.poll() is None:
            peak = max(peak, tree_rss(proc.pid))
            time.sleep(0.2)
        wall, after = time.time() - start, resource.getrusage(resource.RUSAGE_CHILDREN)
        sims += sum(cpu_of(d.proc.pid) for d in devices)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        return {"ok": proc.returncode == 0, "wall": wall, "cpu": cpu, "sim_cpu": sims,
                "peak_rss_mb": peak / 1024}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--veldc", required=True)
    p.add_argument("--sim", required=True)
    p.add_argument("--records", type=int, default=500)
    p.add_argument("--pelo-records", type=int, default=100)
    p.add_argument("--pelo-sizes", default="10,40,100,200")
    p.add_argument("--out", default="fleet-bench.json")
    args = p.parse_args()
    with tempfile.TemporaryDirectory(prefix="veldc-fleet-bench-") as folder:
        fleet = make_fleet(40, pelo=8, direct=8)
        terminals = sum(len(d.terminals) for d in fleet)
        results = {"fleet40": dict(measure(args, folder, fleet, args.records), devices=40,
                                   terminals=terminals, records=terminals * args.records)}
        # Each kind of device alone; the slowest is what the fleet is held against.
        kinds = make_fleet(40, pelo=8, direct=8)
        results["slowest_alone"] = alone = max(
            (measure(args, folder, [kinds[i]], args.records) for i in (0, 8, 39)),
            key=lambda r: r["wall"])
        for size in map(int, args.pelo_sizes.split(",")):
            results[f"pelo{size}"] = dict(
                measure(args, folder, make_fleet(size, pelo=size), args.pelo_records),
                devices=size, records=size * args.pelo_records)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)
    f40 = results["fleet40"]
    print(f"40 devices ({f40['terminals']} terminals, {f40['records']} records): "
          f"{f40['wall']:.1f} s; slowest device alone {alone['wall']:.1f} s; "
          f"ratio {f40['wall'] / alone['wall']:.2f}")
    print("| run | devices | ok | wall s | run CPU s | CPU / (wall x devices) | simulators' CPU s "
          "| peak memory MB |\n|---|---|---|---|---|---|---|---|")
    for name, r in results.items():
        n = r.get("devices", 1)
        print(f"| {name} | {n} | {r['ok']} | {r['wall']:.1f} | {r['cpu']:.1f} | "
              f"{100 * r['cpu'] / (r['wall'] * n):.1f} % | {r['sim_cpu']:.1f} | "
              f"{r['peak_rss_mb']:.0f} |")
    return 0 if all(r["ok"] for r in results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
