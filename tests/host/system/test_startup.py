# tests/host/system/test_startup.py — what the daemon refuses or sets up before it serves: a
# start-up failure ends the process before anything listens.
import os
import socket
import subprocess

import pytest

from conftest import EVENT_S, free_udp_port

# breltaStormControlIfThresholdUnits of ifIndex 1002, class all, on the simulated switch.
UNITS_1002_ALL = "1.3.6.1.4.1.32473.3.35.1.1.1.3.1002.0"


def assert_answers(daemon):
    """The daemon answers a GET with community public."""
    answer = subprocess.run(["snmpget", "-v2c", "-c", "public", "-On", daemon.address,
                             UNITS_1002_ALL], env=daemon.env, capture_output=True, text=True,
                            timeout=EVENT_S)
    assert answer.stdout == f".{UNITS_1002_ALL} = INTEGER: 1\n", answer.stderr


def test_unwritable_pidfile_fails_before_listening(agent):
    daemon = agent()
    daemon.spawn(["--listen", "udp:127.0.0.1:0", "--pidfile", "missing/agent.pid"])
    assert daemon.wait_exit() == 1
    assert "cannot write missing/agent.pid" in daemon.log()
    assert "listening on" not in daemon.log()


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


# Each makes a -C file conf/agent.conf that net-snmp would block or spin on, and returns the
# refusal.
def fifo(conf):
    os.mkfifo(conf / "agent.conf")
    return "conf/agent.conf is not a regular file"


def include_device(conf):
    (conf / "zero.conf").symlink_to("/dev/zero")
    (conf / "agent.conf").write_text("rocommunity public 127.0.0.1\nincludeFile zero.conf\n")
    return "conf/agent.conf:2: includeFile conf/zero.conf is not a regular file"


def fifo_in_included_folder(conf):
    (conf / "agent.conf").write_text("includeFile more.conf\n")
    (conf / "more.conf").write_text("includeDir conf/d\n")
    (conf / "d").mkdir()
    os.mkfifo(conf / "d" / "late.conf")
    return "conf/more.conf:1: includeDir conf/d/late.conf is not a regular file"


def include_search(conf):
    (conf / "agent.conf").write_text("includeSearch snmpd\n")
    return "conf/agent.conf:1: includeSearch is not supported: there is no configuration path"


@pytest.mark.parametrize("make", [fifo, include_device, fifo_in_included_folder, include_search])
def test_config_file_net_snmp_cannot_read_is_refused(agent, make):
    daemon = agent()
    conf = daemon.dir / "conf"
    conf.mkdir()
    refusal = make(conf)
    daemon.spawn(["-C", "conf/agent.conf"])
    assert daemon.wait_exit() == 2
    assert daemon.log() == f"stormcontrol-agent: -C: {refusal}\n"


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


def test_config_name_net_snmp_would_split_is_refused(agent):
    daemon = agent()
    (daemon.dir / "a,b.conf").write_text("rocommunity public 127.0.0.1\n")
    daemon.spawn(["-C", "a,b.conf"])
    assert daemon.wait_exit() == 2
    assert daemon.log().startswith("stormcontrol-agent: -C: 'a,b.conf': ")
    assert daemon.log().count("\n") == 1
