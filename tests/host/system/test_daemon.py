# tests/host/system/test_daemon.py — the daemon's life: start-up refusals (one line, before
# anything listens), pidfile, signals, SNMPv3 engine state across restarts, and what a service
# manager sees: readiness, and watchdog pings that come from the event loop, not a thread.
import fcntl
import os
import signal
import socket
import time

import pytest

from conftest import until
from snmp import ENGINE, ENTRY, LEGACY, LEGACY_USER, OP, OP_USER, SAMPLE, V2C, ask, dotted, walk

OP_LINES = OP_USER + "rouser op priv\n"
WATCHDOG_USEC = 200000  # pings every 0.1 s
SILENCE_S = 1.0  # ten intervals: tells a loop that stopped pinging from a slow one


def files(folder, texts):
    """Writes each file of `texts` (path: text) under `folder`; a text of None makes a FIFO."""
    for name, text in texts.items():
        (path := folder / name).parent.mkdir(parents=True, exist_ok=True)
        os.mkfifo(path) if text is None else path.write_text(text)


@pytest.fixture
def notify(agent):
    """A service manager's socket at `.sock`: socat, which writes what it receives to its log."""
    manager = agent("notify")
    manager.sock = manager.dir / "sock"
    manager.spawn(["-u", f"UNIX-RECV:{manager.sock}", "STDOUT"], program="socat")
    until(manager.sock.exists, manager.log)
    yield manager
    manager.kill()  # socat ends by a signal only


@pytest.fixture
def log_pipe(agent, tmp_path):
    """A FIFO the daemon logs into too (-Lf), emptied by `cat`: stopped, it blocks the loop."""
    os.mkfifo(path := tmp_path / "log.fifo")
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # held: the pipe keeps the size set here
    fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 4096)  # one page: a few trace lines fill it
    (cat := agent("cat")).spawn([str(path)], program="cat")
    yield path, cat.proc
    cat.kill()
    os.close(fd)


@pytest.mark.parametrize("args, status, line", [
    ("--bogus", 2, "--bogus"), ("--sim-interval-ms soon", 2, "--sim-interval-ms"),
    ("--sim-flap-ms 86400001", 2, "--sim-flap-ms"), ("--agentx-ping-s 0", 2, "--agentx-ping-s"),
    ("--listen", 2, "--listen"), ("--agentx /run/agentx/master", 2, "--listen"),
    ("--state twice.json", 2, "twice.json: at $.interfaces"),
    ("--pidfile missing/agent.pid", 1, "cannot write missing/agent.pid"),
    ("--persistent-dir file/state", 1,
     "cannot use persistent directory file/state: Not a directory"),
    # -C files net-snmp would block or spin on, or read as a list of files.
    ("-C conf/fifo.conf", 2, "-C: conf/fifo.conf is not a regular file"),
    ("-C conf/device.conf", 2,
     "-C: conf/device.conf:2: includeFile conf/zero.conf is not a regular file"),
    ("-C conf/folder.conf", 2,
     "-C: conf/more.conf:1: includeDir conf/d/late.conf is not a regular file"),
    ("-C conf/search.conf", 2,
     "-C: conf/search.conf:1: includeSearch is not supported: there is no configuration path"),
    ("-C a,b.conf", 2, "stormcontrol-agent: -C: 'a,b.conf': ")], ids=str)
def test_start_up_refusal_is_one_line_before_listening(agent, args, status, line):
    daemon = agent()
    files(daemon.dir, {"file": "",
                       "twice.json": '{"interfaces": {"E1": 1, "E2": 1}, "status": {}}',
                       "a,b.conf": "rocommunity public 127.0.0.1\n", "conf/fifo.conf": None,
                       "conf/device.conf": "rocommunity public 127.0.0.1\nincludeFile zero.conf\n",
                       "conf/folder.conf": "includeFile more.conf\n", "conf/d/late.conf": None,
                       "conf/more.conf": "includeDir conf/d\n",
                       "conf/search.conf": "includeSearch snmpd\n"})
    (daemon.dir / "conf" / "zero.conf").symlink_to("/dev/zero")
    daemon.spawn(["--listen", "udp:127.0.0.1:0", *args.split()])
    assert daemon.stop(None) == status, daemon.log()
    assert daemon.log().count("\n") == 1 and line in daemon.log(), daemon.log()


def test_default_community_answers_on_ipv6_loopback(agent):
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.bind(("::1", 0))
    except OSError as e:
        pytest.skip(f"no IPv6 loopback here: {e}")
    units = ENTRY + (3, 1002, 0)  # of ifIndex 1002, class all, on the simulated switch
    assert ask(agent().start(ipv6=True), "snmpget", *V2C, dotted(units)) == [(units, "INTEGER: 1")]


def test_signals_log_counters_and_end_cleanly(agent):
    daemon = agent()
    # The community comes from included -C files; a FIFO not named .conf is left alone.
    files(daemon.dir, {"conf/agent.conf": "includeFile more.conf\n", "conf/d/notes": None,
                       "conf/more.conf": "includeDir conf/d\n",
                       "conf/d/community.conf": "rocommunity public 127.0.0.1\n"})
    daemon.start("-C", "conf/agent.conf", "--simulate", "8")
    assert len(walk(daemon, *V2C, tool="snmpwalk")) == 3 * 4 * 8
    # One table entry per row, counted in the plug-in.
    assert " StormControlSnmp::StormControlIfTableEntry=32 " in daemon.report("allocations: ")
    for line in ("counters:", "scheduler:", "notifications: generated="):
        daemon.expect(line)
    daemon.proc.send_signal(signal.SIGHUP)
    daemon.expect("SIGHUP: no state file to re-read")
    # SIGINT here; SIGTERM ends every other daemon.
    assert daemon.stop(signal.SIGINT) == 0 and daemon.log_count("shutting down") == 1, daemon.log()


def test_restarts_keep_the_engine_state_and_leave_no_pidfile(agent, notify):
    (daemon := agent()).extra_env["NOTIFY_SOCKET"] = str(notify.sock)

    def engine(conf, auth):
        """Starts with `conf`; snmpEngineID and snmpEngineBoots as `auth` reads them."""
        daemon.start("--persistent-dir", "state/agent", "--pidfile", "agent.pid", conf=conf,
                     state=SAMPLE)
        (_, engine_id), (_, boots) = ask(daemon, "snmpget", *auth, *ENGINE)
        assert engine_id.startswith("Hex-STRING: "), engine_id
        return engine_id, boots

    both = OP_LINES + LEGACY_USER + "rouser legacy priv\n"
    engine_id, boots = engine(both, OP)
    assert boots == "INTEGER: 1"
    until(lambda: "READY=1" in notify.log(), notify.log)
    assert (pidfile := daemon.dir / "agent.pid").read_text() == f"{daemon.proc.pid}\n"
    # A start-up failure after the file was written (the port is taken) leaves none behind.
    second = agent()
    second.spawn(["--listen", daemon.address, "--pidfile", "agent.pid"])
    assert second.stop(None) == 1 and not (second.dir / "agent.pid").exists(), second.log()
    # No community in the file: SNMPv1 and v2c get nothing.
    v2c = daemon.client("snmpget", "-t1", "-r0", *V2C, ENGINE[1])
    assert "Timeout" in v2c.stderr and not v2c.stdout, v2c
    assert daemon.stop() == 0 and not pidfile.exists(), daemon.log()
    until(lambda: "STOPPING=1" in notify.log(), notify.log)
    assert "WATCHDOG=1" not in notify.log(), "no watchdog unless the service manager asks for one"
    assert engine(both, LEGACY) == (engine_id, "INTEGER: 2")
    assert daemon.stop(signal.SIGKILL) is None
    # Users come from -C alone: one taken out of the file is gone, though its rouser line stays.
    assert engine(OP_LINES + "rouser legacy priv\n", OP) == (engine_id, "INTEGER: 3")
    gone = daemon.client("snmpget", *LEGACY, ENGINE[1])
    assert "Unknown user name" in gone.stderr, gone


def test_watchdog_pings_come_from_the_loop(agent, notify, log_pipe):
    (path, cat), daemon = log_pipe, agent()
    daemon.extra_env.update(NOTIFY_SOCKET=str(notify.sock), WATCHDOG_USEC=str(WATCHDOG_USEC))
    # A flap every 10 ms, each traced: the loop keeps logging.
    daemon.start("-Le", "-Lf", str(path), "--sim-flap-ms", "10", "--trace", "Simulator/1")
    pings = lambda: notify.log().partition("READY=1")[2].count("WATCHDOG=1")
    until(lambda: pings() >= 3, notify.log)
    cat.send_signal(signal.SIGSTOP)  # the loop blocks in a log write, the process lives on

    def silent():
        before = pings()
        time.sleep(SILENCE_S)
        return pings() == before

    until(silent, "WATCHDOG=1 never stopped", pause=0)
    assert daemon.running()
    cat.send_signal(signal.SIGCONT)
    resumed = pings()
    until(lambda: pings() >= resumed + 3, notify.log)
    assert daemon.stop() == 0, daemon.log()  # while `cat` still empties the pipe
