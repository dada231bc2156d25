# tests/host/system/test_startup.py — what the daemon refuses or sets up before it serves: a
# start-up failure ends the process before anything listens.
import os
import socket

import pytest

from conftest import free_udp_port
from snmp import V2C, ask

# breltaStormControlIfThresholdUnits of ifIndex 1002, class all, on the simulated switch.
UNITS_1002_ALL = (1, 3, 6, 1, 4, 1, 32473, 3, 35, 1, 1, 1, 3, 1002, 0)


def assert_answers(daemon):
    """The daemon answers a GET with community public."""
    assert ask(daemon, "snmpget", *V2C, ".1.3.6.1.4.1.32473.3.35.1.1.1.3.1002.0") == \
        [(UNITS_1002_ALL, "INTEGER: 1")]


def refusals_folder(folder):
    """State files, pid and persistent paths and -C files the daemon must refuse at start-up;
    the -C files are those net-snmp would block or spin on."""
    conf = folder / "conf"
    (conf / "d").mkdir(parents=True)
    (folder / "file").write_text("")
    (folder / "syntax.json").write_text('{\n  "interfaces": {\n    "E1": 1,,\n  }\n}\n')
    (folder / "twice.json").write_text('{"interfaces": {"E1": 1, "E2": 1}, "status": {}}')
    (folder / "a,b.conf").write_text("rocommunity public 127.0.0.1\n")
    os.mkfifo(conf / "fifo.conf")
    (conf / "zero.conf").symlink_to("/dev/zero")
    (conf / "device.conf").write_text("rocommunity public 127.0.0.1\nincludeFile zero.conf\n")
    (conf / "folder.conf").write_text("includeFile more.conf\n")
    (conf / "more.conf").write_text("includeDir conf/d\n")
    os.mkfifo(conf / "d" / "late.conf")
    (conf / "search.conf").write_text("includeSearch snmpd\n")


@pytest.mark.parametrize("args, status, line", [
    (["--bogus"], 2, "--bogus"), (["--sim-interval-ms", "soon"], 2, "--sim-interval-ms"),
    (["--simulate", "-1"], 2, "--simulate"), (["--sim-flap-ms", "86400001"], 2, "--sim-flap-ms"),
    (["--listen"], 2, "--listen"), (["--agentx-ping-s", "0"], 2, "--agentx-ping-s"),
    (["--agentx", "/run/agentx/master"], 2, "--listen"),
    (["--state", "missing.json"], 2, "missing.json"),
    (["--state", "syntax.json"], 2, "syntax.json:3:"),
    (["--state", "twice.json"], 2, "twice.json: at $.interfaces"),
    (["--pidfile", "missing/agent.pid"], 1, "cannot write missing/agent.pid"),
    (["--persistent-dir", "file/state"], 1,
     "cannot use persistent directory file/state: Not a directory"),
    (["-C", "conf/fifo.conf"], 2, "-C: conf/fifo.conf is not a regular file"),
    (["-C", "conf/device.conf"], 2,
     "-C: conf/device.conf:2: includeFile conf/zero.conf is not a regular file"),
    (["-C", "conf/folder.conf"], 2,
     "-C: conf/more.conf:1: includeDir conf/d/late.conf is not a regular file"),
    (["-C", "conf/search.conf"], 2,
     "-C: conf/search.conf:1: includeSearch is not supported: there is no configuration path"),
    # net-snmp would read a list of files.
    (["-C", "a,b.conf"], 2, "stormcontrol-agent: -C: 'a,b.conf': ")], ids=str)
def test_start_up_refusal_is_one_line_before_listening(agent, args, status, line):
    daemon = agent()
    refusals_folder(daemon.dir)
    daemon.spawn(["--listen", "udp:127.0.0.1:0", *args])
    assert daemon.wait_exit() == status, daemon.log()
    assert daemon.log().count("\n") == 1 and line in daemon.log(), daemon.log()


def test_pidfile_lives_as_long_as_the_daemon(agent):
    daemon = agent().start("--pidfile", "agent.pid")
    pidfile = daemon.dir / "agent.pid"
    assert pidfile.read_text() == f"{daemon.proc.pid}\n"
    # A start-up failure after the file was written (the port is taken) leaves none behind.
    second = agent()
    second.spawn(["--listen", daemon.address, "--pidfile", "agent.pid"])
    assert second.wait_exit() == 1, second.log()
    assert not (second.dir / "agent.pid").exists()
    assert daemon.stop() == 0
    assert not pidfile.exists()


def test_default_community_answers_ipv6_loopback(agent):
    try:
        free_udp_port("::1", socket.AF_INET6)
    except OSError as e:
        pytest.skip(f"no IPv6 loopback here: {e}")
    daemon = agent().start(ipv6=True)
    assert daemon.wait_for_log("table ready")
    assert_answers(daemon)


def test_config_includes_are_read(agent):
    daemon = agent()
    conf = daemon.dir / "conf"
    (conf / "d").mkdir(parents=True)
    (conf / "agent.conf").write_text("includeFile more.conf\n")
    (conf / "more.conf").write_text("includeDir conf/d\n")
    (conf / "d" / "community.conf").write_text("rocommunity public 127.0.0.1\n")
    os.mkfifo(conf / "d" / "notes")  # not a .conf: net-snmp leaves it alone, and so must the check
    daemon.start("-C", "conf/agent.conf")
    assert daemon.wait_for_log("table ready")
    assert_answers(daemon)
