# tests/host/system/test_service.py — the daemon as systemd sees it: the notifications on a
# NOTIFY_SOCKET of the test's own, and the watchdog's pings coming from the event loop, so that
# a loop that hangs stops them while the process lives on.
import fcntl
import os
import socket
import threading
import time

import pytest

from conftest import EVENT_S

WATCHDOG_USEC = 200000  # pings every 0.1 s
# Long enough, at ten intervals, to tell a loop that stopped pinging from a slow one.
SILENCE_S = 1.0


class NotifySocket:
    """The service manager's end: the lines of every datagram the daemon sends."""

    def __init__(self, path):
        self.path, self.lines = path, []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(path))

    def receive(self, timeout):
        """The next datagram's lines (also kept in `lines`); [] when none comes in time."""
        self.sock.settimeout(timeout)
        try:
            self.lines += (lines := self.sock.recv(4096).decode().splitlines())
            return lines
        except socket.timeout:
            return []

    def wait_for(self, line, count=1):
        """Receives until `count` more lines equal `line`."""
        deadline, seen = time.monotonic() + EVENT_S, 0
        while seen < count:
            assert time.monotonic() < deadline, f"{count} x {line} awaited, got: {self.lines}"
            seen += self.receive(0.5).count(line)

    def wait_for_silence(self, line):
        """Receives until `line` has not come for SILENCE_S."""
        deadline = last = time.monotonic()
        while time.monotonic() - last < SILENCE_S:
            assert time.monotonic() < deadline + EVENT_S, f"{line} never stopped"
            if line in self.receive(0.05):
                last = time.monotonic()


@pytest.fixture
def notify(tmp_path):
    sock = NotifySocket(tmp_path / "notify")
    yield sock
    sock.sock.close()


@pytest.fixture
def log_pipe(tmp_path):
    """A FIFO the daemon logs into as well (-Lf), read only while the event it yields is set:
    once the test clears it, the pipe fills and the daemon's next log line blocks its loop."""
    os.mkfifo(path := tmp_path / "log.fifo")
    # Open for writing too: reads wait for the daemon's lines instead of finding no writer.
    fd = os.open(path, os.O_RDWR)
    fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 4096)  # one page: a few trace lines fill it
    reading = threading.Event()
    reading.set()

    def drain():
        while reading.wait() and os.read(fd, 65536):
            pass

    threading.Thread(target=drain, daemon=True).start()
    yield path, reading
    reading.set()  # so that the daemon can log its way to a clean exit


def test_watchdog_pings_come_from_the_loop(agent, notify, log_pipe):
    daemon, (path, reading) = agent(), log_pipe
    daemon.extra_env.update(NOTIFY_SOCKET=str(notify.path), WATCHDOG_USEC=str(WATCHDOG_USEC))
    # A flap every 10 ms, each traced: the loop keeps logging.
    daemon.start("-Le", "-Lf", str(path), "--sim-flap-ms", "10", "--trace", "Simulator/1")
    notify.wait_for("READY=1")
    notify.wait_for("WATCHDOG=1", count=3)

    reading.clear()  # the loop blocks in a log write, the process lives on
    notify.wait_for_silence("WATCHDOG=1")
    assert daemon.running()

    reading.set()
    notify.wait_for("WATCHDOG=1", count=3)


def test_no_watchdog_unless_asked(agent, notify):
    daemon = agent()
    daemon.extra_env.update(NOTIFY_SOCKET=str(notify.path))
    daemon.start()
    notify.wait_for("READY=1")
    assert daemon.stop() == 0
    notify.wait_for("STOPPING=1")
    assert "WATCHDOG=1" not in notify.lines
