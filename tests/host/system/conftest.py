# tests/host/system/conftest.py — the daemons under test (Debian's snmpd and snmptrapd too), for
# the system tests run by pytest. Each runs from a folder of its own (its files, its log), on a
# free loopback UDP port, made by the `agent` fixture (or `daemons`, for a module) and killed
# however the test ends; one still running must then exit on SIGTERM with status 0, and none may
# log a sanitizer report: every test also checks a clean shutdown.
import contextlib
import itertools
import os
import signal
import socket
import subprocess
import time

import pytest

from snmp import write

AGENT = os.environ.get("STORMCONTROL_AGENT", "")
START_S, EVENT_S = 60.0, 30.0  # generous: the sanitizer build is slower on a shared machine
SERVICE_VARIABLES = ("NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID")  # each test sets its own
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def until(condition, what, timeout=EVENT_S, pause=0.05):
    """Polls `condition` until true; its value. Fails with `what` (or `what()`) at the deadline."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        assert time.monotonic() < deadline, what() if callable(what) else what
        time.sleep(pause)
    return value


class Daemon:
    """One stormcontrol-agent process (or Debian's snmpd or snmptrapd), its folder and log."""

    def __init__(self, folder):
        (folder / "persist").mkdir(parents=True)
        self.dir, self.log_path = folder, folder / "agent.log"
        self.proc, self.port, self.ipv6, self.extra_env = None, 0, False, {}  # e.g. NOTIFY_SOCKET

    @property
    def env(self):
        """What the daemon and the clients get: no MIBs, no configuration outside the folder."""
        env = {k: v for k, v in os.environ.items() if k not in SERVICE_VARIABLES}
        return env | dict(
            MIBS="", MIBDIRS=str(self.dir / "no-mibs"), SNMPCONFPATH=str(self.dir / "snmpconf"),
            SNMP_PERSISTENT_DIR=str(self.dir / "persist")) | self.extra_env

    @property
    def address(self):
        return f"udp6:[::1]:{self.port}" if self.ipv6 else f"udp:127.0.0.1:{self.port}"

    def spawn(self, args, program=AGENT):
        self.kill()
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([program, *args], cwd=self.dir, env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def start(self, *args, conf=None, state=None, listen=True, ipv6=False):
        """Starts on a loopback port (unless not `listen`) with `args`, and `conf` and `state` as
        -C and --state files if given; waits until the table is ready."""
        self.ipv6 = ipv6
        if conf is not None:
            (self.dir / "agent.conf").write_text(conf)
            args = ("-C", "agent.conf", *args)
        if state is not None:
            write(self.dir / "state.json", state)
            args = ("--state", "state.json", *args)
        self.launch(lambda: (["--listen", self.address] if listen else []) + list(args),
                    "listening on" if listen else "table ready")
        self.expect("table ready: ", timeout=START_S)
        return self

    def launch(self, argv, ready, program=AGENT):
        """Spawns `program` with `argv()` on a free port until its log shows `ready`."""
        for _ in range(5):
            family, host = (socket.AF_INET6, "::1") if self.ipv6 else (socket.AF_INET, "127.0.0.1")
            with socket.socket(family, socket.SOCK_DGRAM) as s:
                s.bind((host, 0))  # a free port
                self.port = s.getsockname()[1]
            self.spawn(argv(), program)
            until(lambda: ready in self.log() or not self.running(), self.log, START_S, 0.01)
            if ready in self.log():
                return self
            if f":{self.port}" not in self.log():  # not a port taken meanwhile
                break
        raise AssertionError(f"{program} did not start:\n{self.log()}")

    def serve(self, program, conf, *args):
        """Starts Debian's snmpd or snmptrapd in the foreground on its port, reading `conf` only."""
        (self.dir / "server.conf").write_text(conf)
        return self.launch(lambda: ["-f", "-Lo", "-C", "-c", "server.conf", *args, self.address],
                           "NET-SNMP version", program)

    def log(self):
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def lines(self):
        """The log's complete lines (the last may still be being written)."""
        return self.log().split("\n")[:-1]

    def log_count(self, text):
        return sum(text in line for line in self.lines())

    def expect(self, text, count=1, timeout=EVENT_S):
        """Waits until the log holds `count` lines with `text`; fails at the deadline or exit."""
        found = lambda: self.log_count(text) >= count
        what = lambda: f"{count} x {text!r} awaited:\n{self.log()}"
        until(lambda: found() or not self.running(), what, timeout, 0.01)
        assert found(), what()

    def report(self, text):
        """Sends SIGUSR1 and returns the line with `text` of the report it logs, once whole."""
        seen = self.log_count(text)
        self.proc.send_signal(signal.SIGUSR1)
        return until(lambda: [l for l in self.lines() if text in l][seen:], self.log,
                     pause=0.01)[0]

    def apply(self, state, in_place=False):
        """Writes the state file (by rename unless `in_place`); waits until it is applied."""
        applied = self.log_count("state applied: state.json")
        write(self.dir / "state.json", state, in_place)
        self.expect("state applied: state.json", applied + 1)

    def stop(self, sig=signal.SIGTERM, timeout=EVENT_S):
        """Sends `sig` (unless None); the exit status, None if ended by a signal or the deadline."""
        if sig:
            self.proc.send_signal(sig)
        with contextlib.suppress(subprocess.TimeoutExpired):
            return status if (status := self.proc.wait(timeout)) >= 0 else None
        self.kill()

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def kill(self):
        if self.running():
            self.proc.kill()
            self.proc.wait()

    def client(self, tool, *args, timeout=EVENT_S):
        """Runs an snmp client on the daemon: `args` are options (`-cpublic`), then OIDs."""
        options = list(itertools.takewhile(lambda a: a.startswith("-"), args))
        return subprocess.run([tool, *options, self.address, *args[len(options):]],
                              env=self.env, capture_output=True, text=True, timeout=timeout)


@contextlib.contextmanager
def daemons(folder):
    """Makes daemons in `folder`, checks each ends cleanly with no sanitizer report, kills all."""
    made = []

    def make(name="agent"):
        made.append(Daemon(folder / f"{name}{len(made)}"))
        return made[-1]

    try:
        yield make
        for daemon in made:
            assert not daemon.running() or daemon.stop() == 0, f"unclean exit:\n{daemon.log()}"
            assert not any(m in daemon.log() for m in SANITIZER_MARKERS), daemon.log()
    finally:
        for daemon in made:
            daemon.kill()


@pytest.fixture
def agent(tmp_path):
    with daemons(tmp_path) as make:
        yield make
