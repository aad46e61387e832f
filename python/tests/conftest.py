"""Fixtures: veldc-sim started on a pty or UDP loopback for one test, stopped after it.

VELDC_SIM names the simulator and VELDC_LIBRARY the library under test (both set by CTest);
without them the installed ones are used."""

import os
import select
import shutil
import socket
import subprocess
import time

import pytest

SIM = os.environ.get("VELDC_SIM") or shutil.which("veldc-sim") or "veldc-sim"


class Simulator:
    def __init__(self, *arguments: str) -> None:
        self.process = subprocess.Popen([SIM, *arguments], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        self.where = self.process.stdout.readline().strip() if ready else ""
        if not self.where:
            self.stop()
            raise RuntimeError(f"veldc-sim {' '.join(arguments)} named no line")

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


@pytest.fixture
def simulator():
    """simulator(*arguments) starts veldc-sim and returns what it serves (pty path or ip:port)."""
    started = []

    def start(*arguments: str) -> str:
        started.append(Simulator(*arguments))
        return started[-1].where

    yield start
    for sim in started:
        sim.stop()


def free_udp_port() -> int:
    """A UDP port free on loopback now (the simulator and the library both bind it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, seconds: float = 5.0) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False
