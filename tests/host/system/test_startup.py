# tests/host/system/test_startup.py — what the daemon refuses or sets up before it serves: a
# start-up failure ends the process before anything listens.
import os
import socket

import pytest

from conftest import free_udp_port
from snmp import ENTRY, V2C, ask, dotted


def assert_answers(daemon):
    """The daemon answers a GET with community public: units of ifIndex 1002, class all, on the
    simulated switch."""
    assert ask(daemon, "snmpget", *V2C, dotted(ENTRY + (3, 1002, 0))) == \
        [(ENTRY + (3, 1002, 0), "INTEGER: 1")]


def files(folder, texts):
    """Writes each file of `texts` (path: text) under `folder`; a text of None makes a FIFO."""
    for name, text in texts.items():
        (path := folder / name).parent.mkdir(parents=True, exist_ok=True)
        os.mkfifo(path) if text is None else path.write_text(text)


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
    # -C files net-snmp would block or spin on, or read as a list of files.
    (["-C", "conf/fifo.conf"], 2, "-C: conf/fifo.conf is not a regular file"),
    (["-C", "conf/device.conf"], 2,
     "-C: conf/device.conf:2: includeFile conf/zero.conf is not a regular file"),
    (["-C", "conf/folder.conf"], 2,
     "-C: conf/more.conf:1: includeDir conf/d/late.conf is not a regular file"),
    (["-C", "conf/search.conf"], 2,
     "-C: conf/search.conf:1: includeSearch is not supported: there is no configuration path"),
    (["-C", "a,b.conf"], 2, "stormcontrol-agent: -C: 'a,b.conf': ")], ids=str)
def test_start_up_refusal_is_one_line_before_listening(agent, args, status, line):
    daemon = agent()
    files(daemon.dir, {"file": "", "syntax.json": '{\n  "interfaces": {\n    "E1": 1,,\n  }\n}\n',
                       "twice.json": '{"interfaces": {"E1": 1, "E2": 1}, "status": {}}',
                       "a,b.conf": "rocommunity public 127.0.0.1\n", "conf/fifo.conf": None,
                       "conf/device.conf": "rocommunity public 127.0.0.1\nincludeFile zero.conf\n",
                       "conf/folder.conf": "includeFile more.conf\n", "conf/d/late.conf": None,
                       "conf/more.conf": "includeDir conf/d\n",
                       "conf/search.conf": "includeSearch snmpd\n"})
    (daemon.dir / "conf" / "zero.conf").symlink_to("/dev/zero")
    daemon.spawn(["--listen", "udp:127.0.0.1:0", *args])
    assert daemon.wait_exit() == status, daemon.log()
    assert daemon.log().count("\n") == 1 and line in daemon.log(), daemon.log()


def test_pidfile_lives_as_long_as_the_daemon(agent):
    daemon = agent().start("--pidfile", "agent.pid")
    assert (pidfile := daemon.dir / "agent.pid").read_text() == f"{daemon.proc.pid}\n"
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
    assert_answers(agent().start(ipv6=True))


def test_config_includes_are_read(agent):
    daemon = agent()
    # A FIFO not named .conf: net-snmp leaves it alone, and so must the check.
    files(daemon.dir, {"conf/agent.conf": "includeFile more.conf\n", "conf/d/notes": None,
                       "conf/more.conf": "includeDir conf/d\n",
                       "conf/d/community.conf": "rocommunity public 127.0.0.1\n"})
    assert_answers(daemon.start("-C", "conf/agent.conf"))
