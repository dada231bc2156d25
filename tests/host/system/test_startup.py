# tests/host/system/test_startup.py — what the daemon refuses or sets up before it serves: a
# start-up failure ends the process before anything listens.


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
