"""Simulated fleets for the veldc fleet tests and benchmark: veldc-sim lines on ptys and Pelo
adapters on 127.0.0.x, their inventory and records, and a PostgreSQL server of the test's own."""

import collections
import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

PG_BIN = "/usr/lib/postgresql/15/bin"


class Device:
    """One simulated device: a line with terminals (or a Pelo adapter), each holding TRANS."""

    def __init__(self, name, kind, terminals):
        self.name, self.kind, self.terminals, self.proc = name, kind, terminals, None

    def start(self, sim, folder, records, tag, extra=()):
        files = os.path.join(folder, self.name)
        os.makedirs(files, exist_ok=True)
        self.records = [f"{tag} {self.name} R{n:04d} 0830 BADGE{n % 97:03d}" for n in range(records)]
        with open(os.path.join(files, "TRANS"), "w", newline="") as f:
            f.write("".join(r + "\r\n" for r in self.records))
        args = [sim, "--files", files, "--reply-delay", "5", *extra, "--" + self.kind]
        args += [a for t in self.terminals for a in ("-t", str(t))]
        address = "127.0.0.%d" % (10 + int(self.name.split("-")[-1]) % 240)
        # A port found free may be taken by a parallel trial before the simulator binds it:
        # then it exits at once, and another port is tried.
        for _ in range(3):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind((address, 0))  # free there and on the wildcard (a Pelo device's port)
                pelo = ["--pelo-address", address, "--pelo-port", str(s.getsockname()[1])]
            with open(os.path.join(folder, self.name + ".err"), "w+") as err:
                self.proc = subprocess.Popen(args + pelo * (self.kind == "pelo"),
                                             stdout=subprocess.PIPE, stderr=err, text=True)
                served = self.proc.stdout.readline().strip()
                if served:
                    break
                self.proc.wait()
                err.seek(0)
                why = err.read()
        assert served, f"{self.name}: veldc-sim did not start: {why}"
        self.link = f"{self.kind}:{served}"

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()
            self.proc = None


def make_fleet(count, pelo=0, direct=0, per_network=4, prefix="dev"):
    """`count` devices: `pelo` Pelo adapters with terminal 1, `direct` direct lines, the rest
    terminal networks of `per_network` terminals."""
    def kind(i):
        if i < pelo:
            return "pelo", [1]
        return ("direct", [0]) if i < pelo + direct else ("network", list(range(1, per_network + 1)))
    return [Device(f"{prefix}-{i:03d}", *kind(i)) for i in range(count)]


@contextlib.contextmanager
def running(devices, sim, folder, records, tag, extra=lambda d: []):
    """`devices` started for the block; yields the records each terminal holds."""
    try:
        for d in devices:
            d.start(sim, folder, records, tag, extra(d))
        yield {(d.name, t): d.records for d in devices for t in d.terminals}
    finally:
        for d in devices:
            d.stop()


def write_inventory(path, devices, store, lease=60):
    lines = [f'store = "{store}"', f"lease = {lease}", "retries = 4", "retry-delay = 0.3",
             "command-timeout = 120", "[defaults]", "timeout = 2", "pelo-timeout = 2"]
    for d in devices:
        lines += ["[[device]]", f'name = "{d.name}"', f'link = "{d.link}"',
                  "terminals = [%s]" % ", ".join(str(t) for t in d.terminals)]
    with open(path, "w") as f:
        f.write("\n".join(lines + ["[[job]]", 'collect = "TRANS"']) + "\n")


def fleet(veldc, *args, **kw):
    return subprocess.run([veldc, "fleet", *args], capture_output=True, text=True, **kw)


def check_exactly_once(veldc, inventory, expected):
    """Every expected record stored once, in order, and nothing else (`veldc fleet records`)."""
    out = fleet(veldc, "records", inventory, "--format", "json")
    assert out.returncode == 0, out.stderr
    got = collections.defaultdict(list)
    for r in map(json.loads, out.stdout.splitlines()):
        got[r["device"], r["terminal"]].append(r["text"])
    problems = [f"{key}: {len(g)} stored of {len(held)}, {len(g) - len(set(g))} doubled, "
                f"{len(set(held) - set(g))} lost" for key, held in expected.items()
                if (g := got[key]) != held]
    problems += [f"{key}: stored but never expected" for key in set(got) - set(expected)]
    assert not problems, "\n".join(problems[:20])


def descendants(pid):
    """Every process below `pid`."""
    found, todo = [], [pid]
    while todo:
        with contextlib.suppress(FileNotFoundError, ProcessLookupError):
            p = todo.pop()
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as f:
                    kids = [int(k) for k in f.read().split()]
                found, todo = found + kids, todo + kids
    return found


def kill_group(proc):
    """kill -9 of a run started in a session of its own, and every worker in its group."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()
    deadline = time.time() + 10
    with contextlib.suppress(ProcessLookupError):
        while time.time() < deadline:
            os.killpg(proc.pid, 0)  # raises once the group is gone
            time.sleep(0.05)


@contextlib.contextmanager
def postgres():
    """A PostgreSQL 15 server in a folder of its own, on a Unix socket only; None where
    PostgreSQL 15 is not installed."""
    if not os.path.exists(f"{PG_BIN}/initdb"):
        yield None
        return
    pg = Postgres()
    try:
        pg.run(f"{PG_BIN}/initdb", "-D", f"{pg.dir}/data", "-A", "trust", "-U", "veldc")
        pg.start()
        pg.run(f"{PG_BIN}/createdb", "-h", pg.dir, "-U", "veldc", "fleet")
        yield pg
    finally:
        with contextlib.suppress(subprocess.CalledProcessError):
            pg.stop()
        shutil.rmtree(pg.dir, ignore_errors=True)


class Postgres:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="veldc-pg-")
        self.url = f"postgresql:///fleet?host={self.dir}&user=veldc"
        self.as_postgres = ["runuser", "-u", "postgres", "--"] * (os.geteuid() == 0)
        if self.as_postgres:  # the server refuses to run as root
            shutil.chown(self.dir, "postgres")

    def run(self, *command):
        subprocess.run(self.as_postgres + list(command), check=True, capture_output=True)

    def start(self):
        self.run(f"{PG_BIN}/pg_ctl", "-D", f"{self.dir}/data", "-o",
                 f"-k {self.dir} -c listen_addresses='' -c max_connections=50 -c fsync=off",
                 "-l", f"{self.dir}/pg.log", "-w", "start")

    def stop(self, mode="immediate"):
        self.run(f"{PG_BIN}/pg_ctl", "-D", f"{self.dir}/data", "-m", mode, "-w", "stop")
