"""veldc fleet on simulated devices: inventory checks, kill -9 fault trials, a store outage and
two collectors on one PostgreSQL store; exactly once is checked through `veldc fleet records`
against the records each simulated terminal was given."""

import argparse
import concurrent.futures
import json
import os
import random
import subprocess
import sys
import tempfile
import time

from fleet_sim import check_exactly_once, descendants, fleet, kill_group, make_fleet, postgres, \
    running, write_inventory

SKIP = 77


def inventory_case(args, folder):
    """Mistakes are refused with their line before anything is opened; nothing is created."""
    device, job = '[[device]]\nname = "a"\nlink = "direct:/dev/null"\n', '[[job]]\ncollect = "T"\n'
    table = [  # (inventory, line, words the message must hold)
        ('store = "s.db"\nbogus = 1\n' + device + job, 2, 'unknown key "bogus"'),
        (device + device + job, 4, 'already used on line 1'),
        (device + 'terminals = [300]\n' + job, 4, '0 to 254'),
        (device + '[[job]]\ncollect = "TRANS"\nsync-clock = true\n', 4, 'does one thing'),
        (device + '[[job]]\ndownload = "missing.txt"\n', 5, 'cannot read'),
        ('[[device]]\nname = "a"\n' + job, 1, 'has no link'),
        (device + job + 'x = [', 6, ''),
    ]
    failures, path = [], os.path.join(folder, "bad.toml")
    for text, line, words in table:
        with open(path, "w") as f:
            f.write(text)
        out = fleet(args.veldc, "run", path)
        if out.returncode != 100 or f"bad.toml:{line}: " not in out.stderr or words not in out.stderr:
            failures.append(f"{text!r}: exit {out.returncode}, {out.stderr.strip()!r}")
    assert not {"s.db", "veldc-fleet.db"} & set(os.listdir(folder)), "a refused inventory's store"
    # The same inventory without a mistake, with a default the device overrides, is taken.
    with open(path, "w") as f:
        f.write('[defaults]\nspeed = 4800\n' + device + 'speed = 19200\n' + job)
    out = fleet(args.veldc, "status", path)
    assert out.returncode == 0 and not failures, "\n".join(failures + [out.stderr])


def with_postgres(case):
    """`case` with a PostgreSQL server of its own, skipped where PostgreSQL 15 is missing."""
    def run(args, folder):
        with postgres() as pg:
            if not pg:
                print("PostgreSQL 15 is not installed")
                return SKIP
            return case(args, folder, pg)
    return run


def run_until_done(args, inventory, tries=6):
    """Runs the inventory until a run ends well (random faults may defeat retries); the records
    that run stored."""
    for _ in range(tries):
        out = fleet(args.veldc, "run", inventory, "--json")
        if out.returncode == 0:
            return json.loads(out.stdout)["records"]
    raise AssertionError(f"no clean run after {tries}: {out.stderr[-2000:]}")


def fault_trial(args, folder, store, trial):
    """A small fleet of its own, a run killed at a random instant (the whole run or one worker),
    then runs until one ends well."""
    rng = random.Random(args.seed * 1000 + trial)
    devices = make_fleet(3, pelo=1, direct=1, per_network=2, prefix=f"t{trial:02d}")
    faults = ["--cut-chance", "15", "--fault-seed", str(rng.randrange(1 << 30))]

    def extra(d):
        return faults + ["--pelo-drop-chance", "3"] * (d.kind == "pelo") if args.sim_faults else []
    with running(devices, args.sim, folder, args.records, f"T{trial:02d}", extra) as expected:
        inventory = os.path.join(folder, f"trial{trial:02d}.toml")
        write_inventory(inventory, devices, store, lease=2)
        proc = subprocess.Popen([args.veldc, "fleet", "run", inventory], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(rng.uniform(0.3, args.window))
        workers = descendants(proc.pid)
        mode = rng.choice(["run", "worker"]) if workers else "run"
        if mode == "worker":
            os.kill(rng.choice(workers), 9)
            proc.wait(timeout=300)
        else:
            kill_group(proc)
        run_until_done(args, inventory)
        return expected, mode, inventory


def faults_case(args, folder, pg=None):
    """Seeded trials side by side on one store; across all, every record is stored exactly once."""
    store = pg.url if pg else os.path.join(folder, "store.db")
    with concurrent.futures.ThreadPoolExecutor(args.concurrent) as pool:
        results = list(pool.map(lambda t: fault_trial(args, folder, store, t), range(args.trials)))
    expected = {k: v for trial, _, _ in results for k, v in trial.items()}
    check_exactly_once(args.veldc, results[0][2], expected)
    modes = [mode for _, mode, _ in results]
    print(f"{modes.count('run')} runs and {modes.count('worker')} workers killed: each stored once")


@with_postgres
def two_collectors_case(args, folder, pg):
    """Two collectors on one PostgreSQL store: started together (no device worked on twice);
    then one power-cut mid-run while the other goes on, and a run after the lease expired."""
    expected = {}
    for phase in ("together", "power-cut"):
        devices = make_fleet(6, pelo=1, direct=1, per_network=2)
        with running(devices, args.sim, folder, args.records, phase[:3].upper()) as records:
            for key, held in records.items():
                expected.setdefault(key, []).extend(held)
            inventory = os.path.join(folder, "fleet.toml")
            write_inventory(inventory, devices, pg.url, lease=3)
            a, b = (subprocess.Popen([args.veldc, "fleet", "run", inventory, "--json"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     start_new_session=True) for _ in range(2))
            if phase == "power-cut":
                time.sleep(1.5)
                kill_group(a)
            reports = []
            for p in (a, b) if phase == "together" else (b,):
                out, err = p.communicate(timeout=300)
                assert p.returncode == 0, err[-2000:]
                reports.append({d["device"] for d in json.loads(out)["devices"]
                                if not d.get("done_by_another_collector")})
            if phase == "together":
                assert not reports[0] & reports[1], "a device worked on twice"
                assert reports[0] | reports[1] == {d.name for d in devices}
            time.sleep(3)  # past any lease the cut collector left
            left = run_until_done(args, inventory, 1)
            assert phase == "power-cut" or left == 0, f"{left} records left after a clean run"
            check_exactly_once(args.veldc, inventory, expected)


@with_postgres
def store_down_case(args, folder, pg):
    """PostgreSQL stopped mid-run and started again: the jobs that met it fail with a clear
    message, the run ends non-zero, and nothing it could not store is deleted."""
    devices = make_fleet(4, direct=2, per_network=2)
    with running(devices, args.sim, folder, args.records, "SD") as expected:
        inventory = os.path.join(folder, "fleet.toml")
        write_inventory(inventory, devices, pg.url, lease=3)
        proc = subprocess.Popen([args.veldc, "fleet", "run", inventory, "--parallel", "1"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        time.sleep(2.5)
        pg.stop("fast")
        time.sleep(5)  # longer than a device's collection: its store step meets the outage
        pg.start()
        out, _ = proc.communicate(timeout=300)
        assert proc.returncode == 1, out[-3000:]
        assert "the store cannot be written" in out or "cannot claim it" in out, out[-3000:]
        run_until_done(args, inventory)
        check_exactly_once(args.veldc, inventory, expected)


def main():
    cases = {"inventory": inventory_case, "faults": faults_case,
             "two-collectors": two_collectors_case, "store-down": store_down_case}
    p = argparse.ArgumentParser()
    p.add_argument("case", choices=cases)
    for name, default in [("--veldc", None), ("--sim", None), ("--engine", "sqlite")]:
        p.add_argument(name, default=default, required=default is None)
    for name, default in [("--records", 500), ("--trials", 20), ("--concurrent", 4),
                          ("--seed", 1544)]:
        p.add_argument(name, type=int, default=default)
    p.add_argument("--window", type=float, default=2.0)
    p.add_argument("--sim-faults", action="store_true")
    args = p.parse_args()
    case = cases[args.case]
    if args.case == "faults" and args.engine == "postgres":
        case = with_postgres(case)
    with tempfile.TemporaryDirectory(prefix="veldc-fleet-test-") as folder:
        return case(args, folder) or 0


if __name__ == "__main__":
    sys.exit(main())
