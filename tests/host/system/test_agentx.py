# tests/host/system/test_agentx.py — the daemon as an AgentX subagent of Debian's snmpd: the table
# read through the master across the master's late start, restart and absence, and while the
# table churns.
import time

from conftest import start_server
from snmp import SAMPLE, TABLE, V2C, cells, increasing, walk

# Without the ifIndexes of 2^31 and more, which snmpd's AgentX master does not walk past.
STATE = {"interfaces": {k: v for k, v in SAMPLE["interfaces"].items() if v < 2**31 - 1},
         "status": SAMPLE["status"]}
CONNECTED, LOST = "agentx: connected to master at ", "agentx: lost master at "


def start_master(master):
    # The master answers a subagent's silence after agentXTimeout with genErr; no retries, so
    # one second is all a subagent gets.
    return start_server(master, "/usr/sbin/snmpd", f"master agentx\nagentXSocket {master.dir}/"
                        "agentx\nagentXTimeout 1\nagentXRetries 0\nrocommunity public "
                        "127.0.0.1\ndontLogTCPWrappersConnects yes\n")


def subagent(agent, master, *args, state=None):
    return agent().start("--agentx", str(master.dir / "agentx"), "--agentx-ping-s", "1", *args,
                         listen=False, state=state)


def test_subagent_follows_the_master_through_late_start_restart_and_absence(agent):
    master = agent("master")
    daemon, socket, state = subagent(agent, master, state=STATE), master.dir / "agentx", STATE
    daemon.expect(f"agentx: no master at {socket} yet; retrying every 1 s")
    for connection in (1, 2, 3):
        start_master(master)
        daemon.expect(f"{CONNECTED}{socket}", connection)
        assert walk(master, *V2C) == cells(state), f"connection {connection}"
        if connection == 1:
            assert master.stop() == 0, master.log()
            daemon.expect(f"{LOST}{socket}; retrying every 1 s")
        elif connection == 2:
            # Killed: while it is away the state changes, and three attempts fail.
            master.kill()
            daemon.expect(LOST, 2)
            state = {"interfaces": STATE["interfaces"], "status": {"slice0": {
                "Ethernet1/1": {"all": {"drops": 13}}}, "slice1": SAMPLE["status"]["slice1"]}}
            daemon.apply(state)
            time.sleep(3.5)
    assert daemon.log_count(LOST) == 2 and "Failed to connect" not in daemon.log(), daemon.log()


def test_walk_through_the_master_stays_complete_while_the_table_churns(agent):
    # Drop counters moving every millisecond keep the scheduler busy, so task slices run between
    # the master's requests (one per walked value), each still answered within its second.
    master = agent("master")
    start_master(master)
    subagent(agent, master, "--simulate", "1000", "--sim-interval-ms", "1").expect(CONNECTED)
    pairs = walk(master, *V2C, root=TABLE)
    assert len(pairs) == 3 * 4 * 1000 and increasing(pairs)
