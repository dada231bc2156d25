# tests/host/system/test_agentx.py — the daemon as an AgentX subagent of Debian's snmpd: the table
# read through the master across the master's late start, restart and absence, and while the
# table churns.
import time

from conftest import start_server
from snmp import SAMPLE, TABLE, V2C, cells, increasing, walk, write

# Without the ifIndexes of 2^31 and more, which snmpd's AgentX master does not walk past.
STATE = {"interfaces": {k: v for k, v in SAMPLE["interfaces"].items() if v < 2**31 - 1},
         "status": SAMPLE["status"]}

CONNECTED, LOST = "agentx: connected to master at ", "agentx: lost master at "


def master_conf(master):
    # The master answers a subagent's silence after agentXTimeout with genErr; no retries, so
    # one second is all a subagent gets.
    return (f"master agentx\nagentXSocket {master.dir / 'agentx'}\nagentXTimeout 1\n"
            "agentXRetries 0\nrocommunity public 127.0.0.1\ndontLogTCPWrappersConnects yes\n")


def start_master(master):
    return start_server(master, "/usr/sbin/snmpd", master_conf(master))


def start_subagent(daemon, master, *args):
    daemon.spawn(["--agentx", str(master.dir / "agentx"), "--agentx-ping-s", "1", *args])
    assert daemon.wait_for_log("table ready"), daemon.log()


def test_subagent_follows_the_master_through_late_start_restart_and_absence(agent):
    daemon, master = agent(), agent("master")
    socket = master.dir / "agentx"
    write(daemon.dir / "state.json", STATE)
    start_subagent(daemon, master, "--state", "state.json")
    assert daemon.wait_for_log(f"agentx: no master at {socket} yet; retrying every 1 s")
    state = STATE
    for connection in (1, 2, 3):
        start_master(master)
        assert daemon.wait_for_log(f"{CONNECTED}{socket}", connection), master.log()
        assert walk(master, *V2C) == cells(state), f"connection {connection}"
        if connection == 1:
            assert master.stop() == 0, master.log()
            assert daemon.wait_for_log(f"{LOST}{socket}; retrying every 1 s"), daemon.log()
        elif connection == 2:
            # Killed: while it is away the state changes, and three attempts fail.
            master.kill()
            assert daemon.wait_for_log(LOST, 2), daemon.log()
            state = {"interfaces": STATE["interfaces"], "status": {"slice0": {
                "Ethernet1/1": {"all": {"drops": 13}}}, "slice1": SAMPLE["status"]["slice1"]}}
            applied = daemon.log_count("state applied")
            write(daemon.dir / "state.json", state)
            assert daemon.wait_for_log("state applied", applied + 1), daemon.log()
            time.sleep(3.5)
    assert daemon.log_count(LOST) == 2 and "Failed to connect" not in daemon.log(), daemon.log()


def test_walk_through_the_master_stays_complete_while_the_table_churns(agent):
    # Drop counters moving every millisecond keep the scheduler busy, so task slices run between
    # the master's requests (one per walked value), each still answered within its second.
    daemon, master = agent(), agent("master")
    start_master(master)
    start_subagent(daemon, master, "--simulate", "1000", "--sim-interval-ms", "1")
    assert daemon.wait_for_log(CONNECTED), daemon.log()
    pairs = walk(master, *V2C, root=TABLE)
    assert len(pairs) == 3 * 4 * 1000 and increasing(pairs)
