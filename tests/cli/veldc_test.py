"""veldc as a user runs it: a process with its stdout, stderr and exit status, on the built-in
simulator and against veldc-sim (every kind of serial link on a pty, a modem, the Pelo adapter
over UDP loopback); interruptions. CTest sets VELDC, VELDC_SIM, VELDC_SCHEMA and VELDC_DEMO."""

import collections
import contextlib
import fcntl
import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import jsonschema
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python" / "tests"))
from conftest import free_udp_port, simulator  # noqa: E402,F401  shared fixtures

VELDC = os.environ["VELDC"]
SCHEMA = json.loads(Path(os.environ["VELDC_SCHEMA"]).read_text(encoding="utf-8"))


class Run(collections.namedtuple("Run", "status out err")):
    @property
    def results(self):
        """Each line of --json output; each must conform to the schema."""
        lines = [json.loads(line) for line in self.out.splitlines()]
        for line in lines:
            jsonschema.validate(line, SCHEMA, cls=jsonschema.Draft202012Validator)
        return lines


def run(command, stdin="", signals=(), tty_stderr=False, env=None, timeout=60):
    """Runs `command` with `stdin`, killed after `timeout` s; sends each (text, signal) in turn
    once stderr holds the text. With `tty_stderr` its stderr is a pty instead of a pipe."""
    master, slave = pty.openpty() if tty_stderr else (None, subprocess.PIPE)
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=slave,
                            env=env)
    if tty_stderr:
        os.close(slave)
    with contextlib.suppress(BrokenPipeError):  # it did not read it all
        proc.stdin.write(stdin.encode())
        proc.stdin.close()
    err = master if tty_stderr else proc.stderr.fileno()
    streams = {proc.stdout.fileno(): b"", err: b""}
    open_, todo, deadline = set(streams), list(signals), time.monotonic() + timeout
    while open_ and time.monotonic() < deadline:
        for fd in select.select(list(open_), [], [], 0.2)[0]:
            try:
                data = os.read(fd, 65536)
            except OSError:  # a pty whose other end has gone
                data = b""
            streams[fd] += data
            if not data:
                open_.discard(fd)
        while todo and todo[0][0].encode() in streams[err]:
            proc.send_signal(todo.pop(0)[1])
    if open_:
        proc.kill()
    status = proc.wait()
    if master:
        os.close(master)
    return Run(status, *(b.decode(errors="surrogateescape") for b in streams.values()))


def veldc(*args, **kw):
    return run([VELDC, *args], **kw)


def json_batch(args, batch):
    return veldc("--json", *args, "--batch", "-", stdin=batch)


def numbered(folder, count, end=b"\r\n"):
    """`count` numbered records, written to up.txt."""
    content = b"".join(b"REC%d;42;OK%s" % (i, end) for i in range(1, count + 1))
    (folder / "up.txt").write_bytes(content)
    return content


def test_every_failure_is_its_exit_status_and_message(tmp_path):
    """Every kind of refusal and failure: the code is the exit status and leads the message on
    stderr, as --json reports it. Bad usage (100) and PC files veldc cannot use (101) are refused
    within 100 ms before the line is touched. In the arguments %D is a direct link on a watched
    pty, %B a busy port, @ the test's folder."""
    (tmp_path / "unix.txt").write_bytes(b"A\nB\n")
    os.mkfifo(tmp_path / "fifo")
    (watched, line), (_, busy) = [(m, os.ttyname(s)) for m, s in (pty.openpty() for _ in "12")]
    holder = os.open(busy, os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
    words = {"%D": "direct:" + line, "%B": "direct:" + busy}
    opening = "Unable to open RS232 com port (opening the direct link): "
    cases = [  # arguments, status, message[, stdin[, hint]]
        ("bogus", 100, "unknown command or extra argument: bogus"),
        ("", 100, "no command given"),
        ("--batch -", 100, "stdin:1: unknown command or extra argument: frob", "frob 1\n"),
        ("--batch /nonexistent/session.txt", 101, "cannot read /nonexistent/session.txt"),
        ("-l %D -a 5 time", 100, "terminal address 5 is not possible on a direct link (only 0)"),
        ("-l %D time 240000", 100, 'time "240000" is not HHMMSS'),
        ("-l %D download @unix.txt", 101,
         "unix.txt: line 1 ends in LF only (a Unix text file); give --lf"),
        ("-l %D download @fifo F", 101, "fifo: not a regular file"),
        ("-l %D --batch -", 100, "stdin:3: parameter 100 does not exist (0 to 99)",
         "time\nparam 1\nparam 100\n"),
        # A port that cannot be opened names its cause and a hint.
        ("-l direct:/nonexistent/ttyUSB9 time", 22,
         opening + "/nonexistent/ttyUSB9: No such file or directory", "",
         "no such device: veldc ports lists"),
        ("-l %B time", 22, opening + busy + ": Device or resource busy", "", "is in use by"),
    ]
    for arguments, status, message, *more in cases:
        stdin, hint = (*more, "", "")[:2]
        args = [words.get(w, re.sub("^@", f"{tmp_path}/", w)) for w in arguments.split()]
        start = time.monotonic()
        got = veldc("--json", "--trace", *args, stdin=stdin)
        took, where = time.monotonic() - start, f"{arguments}\n{got.err}"
        [result] = got.results
        error = result["error"]
        assert got.status == error["code"] == status and result["ok"] is False, where
        assert f"veldc: error {status}: " in got.err and message in got.err, where
        detail = f": {error['detail']}" if error.get("detail") else ""
        assert error["message"] + detail in got.err, where
        assert "no --link given" not in got.err, where  # the built-in simulator was not used
        assert not hint or "veldc: hint: " in got.err and hint in error["hint"], where
        if status >= 100:
            assert "port ->" not in got.err and result["duration"] < 0.1 and took < 5, where
    assert not select.select([watched], [], [], 0)[0], "a refused command wrote to the line"
    os.close(holder)


def test_every_command_on_the_built_in_simulator(tmp_path):
    """One session on the built-in simulator through every command: the fields each JSON result
    must hold, a pattern where the value varies ('@' is the test's folder)."""
    data = b"line one\r\nline two\r\n\r\nline four\r\n"
    for name, content in [("demo.txt", data), ("prog.prg", b"10 PRINT\r\n20 END\r\n"),
                          ("unix.txt", b"M\xfcller\x1b[2J\n\nB\n"),
                          ("in.txt", b"08=EIGHT\n09=\n10=A VALUE LONGER THAN 16\n")]:
        (tmp_path / name).write_bytes(content)
    any_time = re.compile("TIME .*")
    steps = [
        ("identify", {"command": "identify", "model": "Veld", "address": 0}),
        ("select 0 --quick", {}),
        ("time 101500", {"time": "101500"}),
        ("date 1261207", {"date": "1261207", "set": True}),
        ("date", {"date": "1261207"}),
        ("sync-clock", {"date": re.compile(r"[0-6]\d{6}")}),
        ("param 7 SEVEN", {}),
        ("param 7 --clear", {}),
        ("params set @/in.txt", {"count": 3}),
        ("params get --select 0,7-10 --out @/out.txt",
         {"command": "params get", "params": [
             {"number": n, "value": v} for n, v in
             [(0, "DOOR-1"), (7, ""), (8, "EIGHT"), (9, ""), (10, "A VALUE LONGER T")]]}),
        ("drive C", {}),
        ("download @/demo.txt DEMO", {"records": 4, "name": "DEMO"}),
        ("download @/unix.txt UNIX --lf", {"records": 3, "name": "UNIX"}),
        # Terminal bytes are Latin-1 characters, escaped by JSON itself.
        ("view UNIX", {"text": "M\xfcller\x1b[2J\r\n\r\nB\r\n", "lines": 3}),
        ("list DEMO", {"count": 1, "files": lambda f: [(f[0]["name"], f[0]["size"])]
                       == [("DEMO", len(data))]}),
        # --size as list gives it fetches the whole file.
        ("view DEMO --size 33", {"text": data.decode(), "lines": 4}),
        ("upload DEMO @/back.txt", {"records": 4}),
        ("delete DEMO", {"deleted": True}),
        ("download --program @/prog.prg", {"records": 2, "program": True}),
        ("send 'TIME'", {"reply": any_time}),
        ("post TIME", {}),
        ("collect --wait 5", {"reply": any_time}),
        ("listen --seconds 1", {"messages": []}),
        ("version", {"tool": re.compile(r"\d+\.\d+\.\d+\.\d+")}),
        ("ports", {}),
    ]
    batch = "".join(command.replace("@", str(tmp_path)) + "\n" for command, _ in steps)
    got = json_batch([], batch)
    assert got.status == 0, got.err + got.out
    assert "no --link given: using the built-in simulated terminal" in got.err
    assert len(got.results) == len(steps), got.out
    for number, ((command, fields), result) in enumerate(zip(steps, got.results), 1):
        assert result["ok"] is True and result["line"] == number, (command, result)
        for key, want in fields.items():
            value = result[key]
            assert (want.fullmatch(value) if isinstance(want, re.Pattern) else
                    want(value) if callable(want) else value == want), (command, key, value)
    assert (tmp_path / "out.txt").read_text() == \
        "00=DOOR-1\n07=\n08=EIGHT\n09=\n10=A VALUE LONGER T\n"
    assert (tmp_path / "back.txt").read_bytes() == data


def test_text_output_of_another_model_and_its_trace():
    """Text output of another model, and the trace on stderr: every frame byte for byte, the hex
    line under each holding exactly its bytes; no progress bar when stderr is not a terminal."""
    got = veldc("--model", "Sorvik", "--trace", "--trace", "--batch", "-",
                stdin="identify\nlist\nview SHIFTS\nparam 1\nsend '\\x04'\n")
    assert got.status == 0, got.err
    lines = got.out.splitlines()
    assert lines[0].startswith("terminal 0: Sorvik (") and lines[3] == "2 files", got.out
    assert [lines[1][:6], lines[2][:6], lines[4], lines[-2]] == \
        ["BADGES", "SHIFTS", "MON 0700 1530", "ON"], got.out
    assert "records" not in got.err
    trace = got.err.splitlines()
    frames = []
    for record, hex_line in zip(trace, trace[1:]):
        m = re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (port (->|<-) (.*))", record)
        if m:
            frames.append(m[1])
            raw = m[3].encode().decode("unicode_escape").encode("latin-1")
            assert hex_line == "    hex " + " ".join(f"{b:02x}" for b in raw), record
    assert frames[-3:-1] == ["port <- CFG 01 ON\\r", "port -> \\x04\\r"], got.err


def test_progress_bar_only_when_stderr_is_a_terminal(tmp_path):
    content = b"A\r\nB\r\n\x1b]0;owned\x07\xfc\r\n"  # a window title and a Latin-1 letter
    (tmp_path / "f.txt").write_bytes(content)
    batch = f"download {tmp_path}/f.txt F\nupload F {tmp_path}/g.txt\n"
    got = veldc("--batch", "-", stdin=batch, tty_stderr=True)
    assert got.status == 0, got.err
    # Both bars end full: the upload's too, whose meter counts fewer bytes than the listing.
    bars = [line.rstrip("\r") for line in got.err.split("\n") if "records" in line]
    full = "] 100%  3 records  19/19 bytes\x1b[K"
    assert len(bars) == 2 and all(b.endswith(full) for b in bars), got.err
    assert (tmp_path / "g.txt").read_bytes() == content
    # Terminal text cannot act on the user's terminal: it reaches the screen escaped.
    quiet = veldc("--no-progress", "--batch", "-", stdin=batch + "view F\n", tty_stderr=True)
    assert quiet.status == 0 and "records" not in quiet.err, quiet.err
    assert quiet.out.endswith("\nA\nB\n\\x1b]0;owned\\x07\\xfc\n"), quiet.out


def test_the_demonstration_runs_and_checks_its_round_trip():
    """The demonstration checks its own round trip; --echo shows each command before it runs."""
    got = run([os.environ["VELDC_DEMO"]], env=dict(os.environ, VELDC_BIN=VELDC))
    assert got.status == 0, got.out + got.err
    assert "veldc> param 2\n45\n" in got.out, got.out
    assert "the uploaded file is byte for byte the file downloaded (120" in got.out


SERIAL_KINDS = [  # simulator, veldc options, batch, the model of each identify in order
    (["--direct", "-t", "0:Qyr"], [], "identify\n", ["Qyr"]),
    (["--network", "-t", "1", "-t", "2:Sorvik"], ["-a", "2"], "identify\nselect 1\nidentify\n",
     ["Sorvik", "Veld"]),
    (["--network", "-t", "5:Dulm:P:4711", "--locked"], ["-a", "5", "-p", "4711"], "", []),
    (["--logon", "-t", "0", "-t", "5:Dulm"], ["-a", "5"], "identify\n", ["Dulm"]),
]


@pytest.mark.parametrize("sim_args,options,batch,models", SERIAL_KINDS)
def test_every_serial_link_kind_reaches_its_terminals(simulator, tmp_path, sim_args, options,
                                                      batch, models):
    """Each kind of line: its terminals answer at their addresses, the clock is set and a file
    goes both ways. The locked terminal answers nothing before the password -p gives it."""
    content = numbered(tmp_path, 20)
    link = f"{sim_args[0][2:]}:{simulator(*sim_args)}"
    got = json_batch(["--link", link, *options], batch + f"time 235959\ntime\n"
                     f"download {tmp_path}/up.txt UP\nupload UP {tmp_path}/down.txt\n")
    assert got.status == 0 and "built-in" not in got.err, got.err
    assert [r["model"] for r in got.results if r["command"] == "identify"] == models
    assert got.results[-3]["time"][:4] == "2359"
    assert (tmp_path / "down.txt").read_bytes() == content


def test_dial_hang_up_and_a_busy_modem(simulator):
    """The dial command and --dial (which hangs up at the end); a busy line may be retried."""
    link = "direct:" + simulator("--modem")
    got = json_batch(["--link", link], "dial 5551234 --init ATZ --wait 30\nidentify\nhangup\n")
    assert got.status == 0, got.err
    assert [got.results[0]["connected"], got.results[2]["hung_up"]] == [True, True]
    dialled = json_batch(["--trace", "--link", link, "--dial", "5551234"], "identify\n")
    assert dialled.status == 0, dialled.err
    assert re.search(r"port -> ATD5551234\\r.*?port -> %XI\\r.*port -> ATH0\\r", dialled.err,
                     re.S), dialled.err
    busy = json_batch(["--link", "direct:" + simulator("--modem", "--dial-result", "busy"),
                       "--dial", "555"], "time\n")
    assert busy.status == 83 and busy.results[0]["error"]["retry"] is True, busy.err


def test_pelo_adapter_over_udp_loopback(simulator, tmp_path):
    """The adapter answers at once: the transfers' pace is the library's own. A Pelo says
    "nothing yet" with its own time-out (79), as a serial line does with 40: listening and
    collecting go on past it until their own time is up."""
    content = numbered(tmp_path, 1000)
    port = str(free_udp_port())
    adapter = simulator("--pelo", "--pelo-port", port, "-t", "1", "-t", "2:Sorvik",
                        "--pelo-delay", "0")
    assert adapter == "127.0.0.2:" + port
    got = json_batch(["--trace", "--link", "pelo:" + adapter, "--pelo-timeout", "1"],
                     "adapter X\nlocal-ip\nidentify\nselect 2\nidentify\ntime 070000\n"
                     f"adapter-reset\nselect 1\ndownload {tmp_path}/up.txt BATCH\n"
                     f"upload BATCH {tmp_path}/down.txt\nlisten --seconds 3\ncollect --wait 2\n")
    assert got.status == 79, got.err
    r = got.results
    assert len(r) == 12 and all(x["ok"] for x in r[:11]), got.out
    assert "V" in r[0]["reply"] and re.fullmatch(r"\d+\.\d+\.\d+\.\d+", r[1]["ip"])
    assert r[2]["address"] == 1  # a network form: the first terminal is 1
    assert [r[4]["model"], r[6]["reset"], r[9]["records"]] == ["Sorvik", True, 1000]
    assert (tmp_path / "down.txt").read_bytes() == content
    assert r[10]["duration"] >= 3.0
    assert r[11]["error"]["code"] == 79 and 2.0 <= r[11]["duration"] < 4.0  # nothing was posted
    assert "veldc: error 79: stdin:12: WinSocket timeout expired" in got.err
    assert "udp -> COMMAND #0 X" in got.err and "udp <- ACK #" in got.err, got.err
    assert re.search(r"udp -> DATA #\d+ \\x02TIME", got.err), got.err


def test_many_terminals_in_one_run_with_keep_going(simulator):
    """--keep-going goes past a terminal that does not answer and a refused command, and the
    summary names both; without it the run ends at the first."""
    link = "network:" + simulator("--network", "-t", "1", "-t", "3:Sorvik")
    got = json_batch(["--link", link, "-a", "1-3", "--keep-going", "-t", "1"],
                     "identify\nview NOFILE\n")
    assert got.status == 103, got.err
    r = got.results
    assert [(x["address"], x["ok"]) for x in r[:6]] == \
        [(1, True), (1, False), (2, False), (2, False), (3, True), (3, False)]
    assert r[2]["error"]["detail"] == "no terminal answers at address 2"
    assert [r[6]["command"], r[6]["failed"], len(r)] == ["summary", 4, 7]
    assert "4 of 6 commands failed:\n  terminal 1: view: error 62" in got.err
    stop = json_batch(["--link", link, "-a", "1,3", "-t", "1"], "view NOFILE\nidentify\n")
    assert stop.status == 62 and len(stop.results) == 1


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_each_signal_ends_transfers_cleanly(simulator, tmp_path, number):
    """Each signal ends the download and the upload as their own failures end them: the terminal
    and the PC file are left clean and the next session finds the terminal."""
    (tmp_path / "files").mkdir()
    (tmp_path / "files" / "BIG").write_bytes(numbered(tmp_path, 3000, b"\n"))
    content = numbered(tmp_path, 3000)
    link = "direct:" + simulator("--direct", "--files", str(tmp_path / "files"))
    interrupted = f"veldc: interrupted ({signal.Signals(number).name})"
    down = veldc("--trace", "--link", link, "download", f"{tmp_path}/up.txt", "NEW",
                 signals=[("port -> REC30;", number)])
    assert down.status == 128 + number, down.err
    assert "veldc: error 61: Operation cancelled" in down.err and interrupted in down.err
    assert re.search(r"port -> \\x04\\r.*port -> DEL NEW\\r", down.err, re.S), down.err
    assert "port -> REC2000;" not in down.err  # cut short indeed
    up = veldc("--trace", "--link", link, "upload", "BIG", f"{tmp_path}/out.txt",
               signals=[("port <- REC30;", number)])
    assert up.status == 128 + number and interrupted in up.err, up.err
    assert "port -> \\x04\\r" in up.err and not (tmp_path / "out.txt").exists()
    # The next session lists BIG (an upload never deletes on the terminal) and no NEW.
    listing = veldc("--link", link, "list")
    assert listing.status == 0 and "BIG" in listing.out and "NEW" not in listing.out, listing.out
    assert (tmp_path / "up.txt").read_bytes() == content


def test_ctrl_c_hangs_up_a_dialled_line_ends_listening_and_a_second_exits_at_once(simulator,
                                                                                 tmp_path):
    """A dialled line is hung up; listening, usually ended by Ctrl-C, still reports what was
    heard; a second Ctrl-C while a load is being ended exits without waiting for the clean-up."""
    start = time.monotonic()
    cut = veldc("--trace", "--link", "direct:" + simulator("--modem", "--dial-result", "silent"),
                "--dial", "555", "--dial-timeout", "60", "identify",
                signals=[("port -> ATD555\\r", signal.SIGINT)])
    assert cut.status == 130, cut.err
    assert re.search(r"port -> ATD555\\r.*port -> ATH0\\r", cut.err, re.S), cut.err
    assert time.monotonic() - start < 30  # not the 60 s
    heard = veldc("--json", "--trace", "listen", "--seconds", "60",
                  signals=[("port <- Veld V2.10 RAM F", signal.SIGINT)])
    assert heard.status == 130, heard.err
    [result] = heard.results
    assert result["ok"] is True and result["messages"] == [] and result["duration"] < 30
    numbered(tmp_path, 3000)
    twice = veldc("--trace", "--link", "direct:" + simulator("--direct"), "download",
                  f"{tmp_path}/up.txt", signals=[("port -> REC30;", signal.SIGINT),
                                                 ("port -> \\x04\\r", signal.SIGINT)])
    assert twice.status == 130 and "veldc: interrupted" not in twice.err, twice.err
