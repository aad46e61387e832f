"""veldc fleet on simulated devices: inventory checks, a whole collection, kill -9 fault
trials and two collectors on one PostgreSQL store. Exactly once is checked through
`veldc fleet records` against the records each simulated terminal was given."""

import argparse
import concurrent.futures
import json
import os
import random
import subprocess
import sys
import tempfile
import time

from fleet_sim import (Postgres, check_exactly_once, descendants, fleet, kill_group,
                       make_fleet, stored_records, write_inventory)

SKIP = 77


def inventory_case(args, folder):
    """Mistakes are refused with their line before anything is opened; nothing is created."""
    good_device = '[[device]]\nname = "a"\nlink = "direct:/dev/null"\n'
    good_job = '[[job]]\ncollect = "TRANS"\n'
    table = [
        # (inventory text, line, words the message must hold)
        ('store = "s.db"\nbogus = 1\n' + good_device + good_job, 2, 'unknown key "bogus"'),
        (good_device + 'speeed = 9600\n' + good_job, 4, 'unknown device key "speeed"'),
        (good_device + good_device + good_job, 4, 'already used on line 1'),
        ('[[device]]\nname = "a"\nlink = "serial:/dev/x"\n' + good_job, 3, 'unknown link'),
        ('[[device]]\nname = "a"\nlink = "pelo:1.2.3.4"\n' + good_job, 3, 'UDP port'),
        (good_device + 'terminals = [1, 1]\n' + good_job, 4, 'listed twice'),
        (good_device + 'terminals = [{ address = 1, pin = "1" }]\n' + good_job, 4,
         'unknown terminal key "pin"'),
        (good_device + 'terminals = [300]\n' + good_job, 4, '0 to 254'),
        (good_device + '[[job]]\ncollect = "TRANS"\nsync-clock = true\n', 4, 'does one thing'),
        (good_device + '[[job]]\ndownload = "missing.txt"\n', 5, 'cannot read'),
        (good_device + '[[job]]\ncolect = "TRANS"\n', 5, 'unknown job key "colect"'),
        (good_device + '[[job]]\nsync-clock = true\nto = "X"\n', 4, 'to belongs to a download'),
        ('[defaults]\nname = "x"\n' + good_device + good_job, 2, 'unknown defaults key'),
        ('lease = 1\n' + good_device + good_job, 1, 'from 2 to 86400'),
        (good_device + 'password = "123456"\n' + good_job, 4, '1 to 5 characters'),
        ('[[device]]\nname = "a"\n' + good_job, 1, 'has no link'),
        (good_device + good_job + 'x = [', 6, ''),
    ]
    failures = []
    for text, line, words in table:
        path = os.path.join(folder, "bad.toml")
        with open(path, "w") as f:
            f.write(text)
        out = fleet(args.veldc, "run", path)
        want = f"bad.toml:{line}: "
        if out.returncode != 100 or want not in out.stderr or words not in out.stderr:
            failures.append(f"{text!r}: exit {out.returncode}, {out.stderr.strip()!r}")
    assert not os.path.exists(os.path.join(folder, "s.db")), "a refused inventory opened its store"
    assert not os.path.exists(os.path.join(folder, "veldc-fleet.db"))
    # A default applies where the device says nothing; the device's own value wins.
    path = os.path.join(folder, "good.toml")
    with open(path, "w") as f:
        f.write('[defaults]\nspeed = 4800\n' + good_device + 'speed = 19200\n' + good_job)
    out = fleet(args.veldc, "status", path)
    if out.returncode != 0:
        failures.append(f"good inventory: {out.returncode} {out.stderr}")
    assert not failures, "\n".join(failures)


def collect_case(args, folder):
    """One run collects every record of every terminal once, in order, and deletes the files;
    a second run finds nothing left."""
    devices = make_fleet(args.devices, pelo=args.pelo, direct=args.direct)
    try:
        for d in devices:
            d.start(args.sim, folder, args.records, "C1")
        inventory = os.path.join(folder, "fleet.toml")
        write_inventory(inventory, devices, "store.db")
        terminals = sum(len(d.terminals) for d in devices)
        start = time.time()
        out = fleet(args.veldc, "run", inventory, "--json")
        wall = time.time() - start
        assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
        report = json.loads(out.stdout)
        assert report["ok"] and report["records"] == terminals * args.records, report["records"]
        expected = {(d.name, t): d.records for d in devices for t in d.terminals}
        check_exactly_once(stored_records(args.veldc, inventory), expected)
        assert run_and_check(args, inventory, expected) == 0, "a terminal file was left"
        print(f"{len(devices)} devices, {terminals} terminals, "
              f"{terminals * args.records} records in {wall:.1f} s")
    finally:
        for d in devices:
            d.stop()


def run_and_check(args, inventory, expected):
    """Runs the inventory once more, which must end well, and checks the store; returns how
    many records that run stored."""
    out = fleet(args.veldc, "run", inventory, "--json")
    assert out.returncode == 0, out.stderr[-2000:]
    check_exactly_once(stored_records(args.veldc, inventory), expected)
    return json.loads(out.stdout)["records"]


def run_until_done(args, inventory, store=None, tries=6):
    """Runs the inventory again until a run ends well (random faults may defeat retries)."""
    for _ in range(tries):
        out = fleet(args.veldc, "run", inventory, *(["--store", store] if store else []))
        if out.returncode == 0:
            return
    raise AssertionError(f"no clean run after {tries}: {out.stderr[-2000:]}")


def fault_trial(args, folder, store, trial):
    """One trial: a small fleet of its own, a run killed at a random instant, then runs until
    one ends well. Returns the records the trial's terminals held and what was killed."""
    rng = random.Random(args.seed * 1000 + trial)
    devices = make_fleet(3, pelo=1, direct=1, per_network=2, prefix=f"t{trial:02d}")
    expected = {}
    extra = []
    if args.sim_faults:
        extra = ["--cut-chance", "15", "--fault-seed", str(rng.randrange(1 << 30))]
    try:
        for d in devices:
            pelo = ["--pelo-drop-chance", "3"] if d.kind == "pelo" and args.sim_faults else []
            d.start(args.sim, folder, args.records, f"T{trial:02d}", extra + pelo)
            for t in d.terminals:
                expected[(d.name, t)] = d.records
        inventory = os.path.join(folder, f"trial{trial:02d}.toml")
        write_inventory(inventory, devices, store, lease=2)
        proc = subprocess.Popen([args.veldc, "fleet", "run", inventory],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        time.sleep(rng.uniform(0.3, args.window))
        mode = rng.choice(["run", "worker"])
        workers = descendants(proc.pid)
        if mode == "worker" and workers:
            os.kill(rng.choice(workers), 9)
            proc.wait(timeout=300)
        else:
            mode = "run"
            kill_group(proc)
        run_until_done(args, inventory)
        return expected, mode, inventory
    finally:
        for d in devices:
            d.stop()


def faults_case(args, folder):
    """Seeded trials: kill -9 a worker or the whole run at a random instant, then run again;
    across all trials every record is stored exactly once."""
    pg = None
    store = os.path.join(folder, "store.db")
    if args.engine == "postgres":
        pg = Postgres.start_or_skip()
        if not pg:
            return SKIP
        store = pg.url
    try:
        # Trials share the store but not their devices, so a few run side by side.
        with concurrent.futures.ThreadPoolExecutor(args.concurrent) as pool:
            results = list(pool.map(lambda t: fault_trial(args, folder, store, t),
                                    range(args.trials)))
        expected = {}
        for trial_expected, _, _ in results:
            expected.update(trial_expected)
        check_exactly_once(stored_records(args.veldc, results[0][2]), expected)
        modes = [mode for _, mode, _ in results]
        print(f"{args.trials} trials ({modes.count('run')} runs and {modes.count('worker')} "
              f"workers killed): {sum(len(v) for v in expected.values())} records, each stored "
              "exactly once")
    finally:
        if pg:
            pg.close()


def two_collectors_case(args, folder):
    """Two collectors on one PostgreSQL store: started together; then one power-cut mid-run
    while the other goes on, and a run after the lease expired."""
    pg = Postgres.start_or_skip()
    if not pg:
        return SKIP
    expected = {}
    try:
        for phase in ("together", "power-cut"):
            devices = make_fleet(6, pelo=1, direct=1, per_network=2)
            try:
                for d in devices:
                    d.start(args.sim, folder, args.records, phase[:3].upper())
                    for t in d.terminals:
                        expected.setdefault((d.name, t), []).extend(d.records)
                inventory = os.path.join(folder, "fleet.toml")
                write_inventory(inventory, devices, pg.url, lease=3)
                start = lambda: subprocess.Popen(
                    [args.veldc, "fleet", "run", inventory, "--json"], stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE, text=True, start_new_session=True)
                a, b = start(), start()
                if phase == "power-cut":
                    time.sleep(1.5)
                    kill_group(a)
                else:
                    out_a, err_a = a.communicate(timeout=300)
                    assert a.returncode == 0, err_a[-2000:]
                out_b, err_b = b.communicate(timeout=300)
                assert b.returncode == 0, err_b[-2000:]
                report_b = json.loads(out_b)
                if phase == "together":
                    report_a = json.loads(out_a)
                    mine = lambda r: {d["device"] for d in r["devices"]
                                      if not d.get("done_by_another_collector")}
                    assert not mine(report_a) & mine(report_b), "a device worked on twice"
                    assert mine(report_a) | mine(report_b) == {d.name for d in devices}
                time.sleep(3)  # past any lease the cut collector left
                after = run_and_check(args, inventory, expected)
                print(f"{phase}: collector B stored {report_b['records']}, the run after {after}")
            finally:
                for d in devices:
                    d.stop()
    finally:
        pg.close()


def store_down_case(args, folder):
    """PostgreSQL stopped mid-run and started again: the jobs that met it fail with a clear
    message, the run ends non-zero, and nothing it could not store is deleted: the next run
    stores every record exactly once."""
    pg = Postgres.start_or_skip()
    if not pg:
        return SKIP
    devices = make_fleet(4, direct=2, per_network=2)
    try:
        expected = {}
        for d in devices:
            d.start(args.sim, folder, args.records, "SD")
            expected.update({(d.name, t): d.records for t in d.terminals})
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
        check_exactly_once(stored_records(args.veldc, inventory), expected)
    finally:
        for d in devices:
            d.stop()
        pg.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("case",
                   choices=["inventory", "collect", "faults", "two-collectors", "store-down"])
    p.add_argument("--veldc", required=True)
    p.add_argument("--sim", required=True)
    p.add_argument("--devices", type=int, default=40)
    p.add_argument("--pelo", type=int, default=8)
    p.add_argument("--direct", type=int, default=8)
    p.add_argument("--records", type=int, default=500)
    p.add_argument("--engine", choices=["sqlite", "postgres"], default="sqlite")
    p.add_argument("--sim-faults", action="store_true")
    p.add_argument("--trials", type=int, default=20)
    p.add_argument("--window", type=float, default=2.0)
    p.add_argument("--concurrent", type=int, default=4)
    p.add_argument("--seed", type=int, default=1544)
    args = p.parse_args()
    cases = {"inventory": inventory_case, "collect": collect_case, "faults": faults_case,
             "two-collectors": two_collectors_case, "store-down": store_down_case}
    with tempfile.TemporaryDirectory(prefix="veldc-fleet-test-") as folder:
        return cases[args.case](args, folder) or 0


if __name__ == "__main__":
    sys.exit(main())
