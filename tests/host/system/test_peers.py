# tests/host/system/test_peers.py — the daemon with Debian's snmptrapd and snmpd: notifications
# (breltaStormControlDropsRising) to its -C file's targets, checked against the table; and the
# daemon as an AgentX subagent, read through the master across its absence and while it churns.
import re
import time

from conftest import until
from snmp import (ENTRY, N, OIDS, OP, OP_USER, SAMPLE, TABLE, V2C, cells, dotted, increasing, intf,
                  number, parse, walk)

# breltaStormControlDropsRising, snmpTrapOID.0, ifIndex, the notification's class object.
RISING, TRAP_OID = OIDS["DROPS_RISING_OID"], (1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0)
IF_INDEX, CLASS_OID = OIDS["IF_INDEX_OID"], OIDS["NOTIFY_CLASS_OID"]
KINDS = ("TRAP2, SNMP v2c, community public", "INFORM, SNMP v2c, community public",
         "INFORM, SNMP v3, user op, context ")
CONNECTED, LOST = "agentx: connected to master at ", "agentx: lost master at "


def start_pair(agent, targets, *args, state=None):
    """A receiver (snmptrapd), then the daemon sending to it as each of `targets`."""
    receiver = agent("receiver")
    # A header line with the sender's description, the variables one per line, a footer.
    receiver.serve("/usr/sbin/snmptrapd", f"authCommunity log public\n{OP_USER}authUser log op "
                   "priv\n", "-On", "-F", r"notification %P\n%V\n%v\nend\n")
    conf = "rocommunity public 127.0.0.1\n" + "".join(f"{t} {receiver.address}\n" for t in targets)
    return agent().start("-Dtrap", *args, conf=conf, state=state), receiver


def received(receiver):
    """(kind, (ifIndex, class), drops) per notification, once its variables are checked:
    sysUpTime, snmpTrapOID, then ifIndex, class and drops, all of the same row."""
    out = []
    for kind, lines in re.findall(r"^notification (.*)\n((?:.*\n)*?)end\n", receiver.log(), re.M):
        pairs = parse(lines)
        (drops_oid, drops), ifindex, cls = pairs[-1], pairs[-1][0][-2], pairs[-1][0][-1]
        assert pairs[1:] == [(TRAP_OID, f"OID: {dotted(RISING)}"),
                             (IF_INDEX + (ifindex,), f"INTEGER: {ifindex}"),
                             (CLASS_OID, f"INTEGER: {cls}"), (ENTRY + (4, ifindex, cls), drops)]
        out.append((kind, (ifindex, cls), number(drops)))
    return out


def held_down(daemon):
    """The notifier's count of notifications held down, from SIGUSR1's line."""
    return int(re.search(r"heldDown=(\d+)", daemon.report("notifications: "))[1])


def test_a_rise_after_a_still_spell_is_notified_once_per_target_with_the_tables_value(agent):
    state = {"interfaces": {"Ethernet1": 7, "Ethernet2": 8},
             "status": {"slice0": {"Ethernet1": intf((500, 1, N, 100), N, (N, N, N, 100))}}}
    daemon, receiver = start_pair(
        agent, ["trap2sink", "informsink", f"trapsess -Ci {' '.join(OP)}"], "--notify-still-s",
        "1", "--context", "other", state=state)
    # Two rows rise after a still spell; a second rise within the hold-down, cleared counters
    # and rows that appear or go send nothing.
    for drops, other in ((150, N), (200, N), (0, (N, (10, 1, N, 5))), (0, N)):
        time.sleep(1.1 if drops else 0)  # still since start-up, or since the last rise
        state["status"]["slice0"] = {"Ethernet1": intf((500, 1, N, drops), N, (N, N, N, drops))}
        if other:
            state["status"]["slice0"]["Ethernet2"] = intf(*other)
        daemon.apply(state)
    until(lambda: len(received(receiver)) >= 6 and held_down(daemon) >= 2, receiver.log)
    assert sorted(received(receiver)) == \
        sorted((kind, (7, c), 150) for kind in KINDS for c in (0, 2)), receiver.log()
    assert daemon.log_count("received the inform response") == 2 * 2, daemon.log()
    assert daemon.log_count("send_trap:") == 0, "no complaint about the notification"


def start_master(master):
    # genErr for a subagent silent for agentXTimeout, and no retries: a subagent gets 1 s.
    return master.serve("/usr/sbin/snmpd", f"master agentx\nagentXSocket {master.dir}/agentx\n"
                        "agentXTimeout 1\nagentXRetries 0\nrocommunity public 127.0.0.1\n"
                        "dontLogTCPWrappersConnects yes\n")


def subagent(agent, master, *args, state=None):
    return agent().start("--agentx", str(master.dir / "agentx"), "--agentx-ping-s", "1", *args,
                         listen=False, state=state)


def test_subagent_follows_the_master_through_late_start_and_absence(agent):
    # The sample's ifIndexes of 2^31 and more AgentX carries as 32 bits; net-snmp sign-extends.
    master = agent("master")
    daemon, socket = subagent(agent, master, state=SAMPLE), master.dir / "agentx"
    daemon.expect(f"agentx: no master at {socket} yet; retrying every 1 s")
    start_master(master)
    daemon.expect(f"{CONNECTED}{socket}")
    assert walk(master, *V2C) == cells(SAMPLE)
    # Killed: while it is away the state changes, and three attempts fail quietly.
    master.kill()
    daemon.expect(f"{LOST}{socket}; retrying every 1 s")
    state = {"interfaces": SAMPLE["interfaces"], "status": {"slice0": {
        "Ethernet1/1": {"all": {"drops": 13}}}, "slice1": SAMPLE["status"]["slice1"]}}
    daemon.apply(state)
    time.sleep(3.5)
    start_master(master)
    daemon.expect(f"{CONNECTED}{socket}", 2)
    assert walk(master, *V2C) == cells(state), "after the master came back"
    assert daemon.log_count(LOST) == 1 and "Failed to connect" not in daemon.log(), daemon.log()


def test_walk_through_the_master_stays_complete_while_the_table_churns(agent):
    # Drops moving every 1 ms: task slices run between the master's requests, each within 1 s.
    master = agent("master")
    start_master(master)
    subagent(agent, master, "--simulate", "1000", "--sim-interval-ms", "1").expect(CONNECTED)
    pairs = walk(master, *V2C, root=TABLE)
    assert len(pairs) == 3 * 4 * 1000 and increasing(pairs)
