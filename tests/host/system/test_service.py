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
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(path))
        self.lines = []

    def close(self):
        self.sock.close()

    def receive(self, timeout):
        """The next datagram's lines (also kept in `lines`); [] when none comes in time."""
        self.sock.settimeout(timeout)
        try:
            lines = self.sock.recv(4096).decode().splitlines()
        except socket.timeout:
            return []
        self.lines += lines
        return lines

    def wait_for(self, line, count=1):
        """Receives until `count` more lines equal `line`."""
        deadline = time.monotonic() + EVENT_S
        seen = 0
        while seen < count:
            assert time.monotonic() < deadline, f"{count} x {line} awaited, got: {self.lines}"
            seen += self.receive(0.5).count(line)

    def wait_for_silence(self, line):
        """Receives until `line` has not come for SILENCE_S."""
        deadline = time.monotonic() + EVENT_S
        last = time.monotonic()
        while time.monotonic() - last < SILENCE_S:
            assert time.monotonic() < deadline, f"{line} never stopped"
            if line in self.receive(0.05):
                last = time.monotonic()


@pytest.fixture
def notify(tmp_path):
    sock = NotifySocket(tmp_path / "notify")
    yield sock
    sock.close()


class LogPipe(threading.Thread):
    """A FIFO the daemon logs into as well (-Lf), read only while `reading` is set: once the
    test stops reading, the pipe fills and the daemon's next log line blocks its loop. Started
    once the daemon has opened it (before, a read would find no writer and end)."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        os.mkfifo(path)
        # Open before the daemon, which opens it for writing and would wait for a reader.
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        os.set_blocking(self.fd, True)
        # One page: a few trace lines fill it.
        fcntl.fcntl(self.fd, fcntl.F_SETPIPE_SZ, 4096)
        self.reading = threading.Event()
        self.reading.set()

    def run(self):
        while self.reading.wait() and os.read(self.fd, 65536):
            pass
        os.close(self.fd)


@pytest.fixture
def log_pipe(tmp_path):
    pipe = LogPipe(tmp_path / "log.fifo")
    yield pipe
    pipe.reading.set()  # so that the daemon can log its way to a clean exit


def test_watchdog_pings_come_from_the_loop(agent, notify, log_pipe):
    daemon = agent()
    daemon.extra_env.update(NOTIFY_SOCKET=str(notify.path), WATCHDOG_USEC=str(WATCHDOG_USEC))
    # A flap every 10 ms, each traced: the loop keeps logging.
    daemon.start("-Le", "-Lf", str(log_pipe.path), "--sim-flap-ms", "10",
                 "--trace", "Simulator/1")
    log_pipe.start()
    notify.wait_for("READY=1")
    notify.wait_for("WATCHDOG=1", count=3)

    log_pipe.reading.clear()  # the loop blocks in a log write, the process lives on
    notify.wait_for_silence("WATCHDOG=1")
    assert daemon.running()

    log_pipe.reading.set()
    notify.wait_for("WATCHDOG=1", count=3)


def test_no_watchdog_unless_asked(agent, notify):
    daemon = agent()
    daemon.extra_env.update(NOTIFY_SOCKET=str(notify.path))
    daemon.start()
    notify.wait_for("READY=1")
    assert daemon.stop() == 0
    notify.wait_for("STOPPING=1")
    assert "WATCHDOG=1" not in notify.lines
