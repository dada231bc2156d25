# tests/host/system/test_changes.py — the table while it changes: state-file edits, refused files
# and reloads, agent restarts (SIGUSR2), and the simulated switch's drop counters and flaps, each
# read by walks that must miss nothing stable and show nothing stale.
import copy
import os
import re
import signal

import pytest

from conftest import until
from snmp import (ENTRY, N, SAMPLE, V2C, cells, increasing, intf, large, name, number, walk,
                  walker, write)


def edits():
    """Each kind of edit, one after the other, from the sample state."""
    s = copy.deepcopy(SAMPLE)
    # A status for an interface that had an ifIndex only, and new values for another.
    s["status"]["slice0"]["Ethernet9/9"] = intf((700, 1, N, 70))
    s["status"]["slice0"]["Ethernet1/1"]["all"]["drops"] = 13
    s["status"]["slice0"]["Ethernet1/1"]["multicast"] = {"level": 2000, "units": 2, "drops": 1}
    yield s
    del s["status"]["slice1"]  # its interfaces keep their ifIndex but lose their rows
    yield s
    s["interfaces"]["Ethernet3/2"] = 32
    s["status"]["slice2"] = {"Ethernet3/2": intf((3200, 1, N, 32))}
    yield s
    del s["interfaces"]["Ethernet1/10"], s["status"]["slice0"]["Ethernet1/10"]
    yield s
    # ifIndex 1 moves from an interface that leaves to one that arrives.
    del s["interfaces"]["Ethernet1/1"], s["status"]["slice0"]["Ethernet1/1"]
    s["interfaces"]["Ethernet4/1"] = 1
    s["status"]["slice2"]["Ethernet4/1"] = intf((4100, 2, N, 41), (N, N, N, 4))
    yield s


@pytest.mark.parametrize("in_place", [False, True], ids=["renamed", "in place"])
def test_edits_reach_the_next_walk_and_a_refused_file_keeps_the_table(agent, in_place):
    daemon = agent().start(state=SAMPLE)
    for step, state in enumerate(edits()):
        daemon.apply(state, in_place)
        assert walk(daemon, *V2C) == cells(state), f"edit {step}"
    # Two interfaces with one ifIndex: found only across entries, after the file parsed.
    bad = copy.deepcopy(state)
    bad["interfaces"]["Ethernet1/3"] = 1
    bad["status"]["slice2"]["Ethernet4/1"]["all"]["drops"] = 1234
    write(daemon.dir / "state.json", bad, in_place)
    daemon.expect("state.json: at $.interfaces")
    # A FIFO renamed over the file, then read again on SIGHUP: waiting for a writer would hang.
    os.mkfifo(daemon.dir / "fifo")
    os.rename(daemon.dir / "fifo", daemon.dir / "state.json")
    daemon.expect("state.json: not a regular file: FIFO")
    daemon.proc.send_signal(signal.SIGHUP)
    daemon.expect("state.json: not a regular file: FIFO", 2)
    assert daemon.log_count("keeping the running state") >= 3, daemon.log()
    assert walk(daemon, *V2C) == cells(state)


def test_restart_reconciles_to_exactly_the_live_rows(agent):
    daemon = agent().start(state=(state := large(1000)))
    applied = daemon.log_count("state applied: state.json")
    daemon.proc.send_signal(signal.SIGUSR2)  # interfaces leave and arrive while it restarts
    for i in range(1, 1001, 10):
        del state["interfaces"][name(i)], state["status"][f"slice{1 - i % 2}"][name(i)]
    state["interfaces"]["Ethernet99/1"] = 5000
    state["status"]["slice2"] = {"Ethernet99/1": intf((5000, 1))}
    write(daemon.dir / "state.json", state)
    daemon.expect("restarting agent")
    daemon.expect("table ready", 2)
    daemon.expect("state applied: state.json", applied + 1)
    assert walk(daemon, *V2C) == cells(state)
    # The restarted agent follows later edits.
    state["interfaces"]["Ethernet1/1"] = 1
    state["status"]["slice0"]["Ethernet1/1"] = intf((11, 1, N, 11))
    daemon.apply(state, in_place=True)
    assert walk(daemon, *V2C) == cells(state)


def test_walks_during_a_reload_miss_no_stable_row(agent):
    before, moved = large(2000), set(range(10, 2001, 10))  # moved: ifIndexes that change hands
    after = copy.deepcopy(before)
    for i in range(1, 2001):
        entity = f"slice{1 - i % 2}"
        after["status"][entity][name(i)]["unknownUnicast"]["drops"] = i + 1
        if i in moved:
            del after["interfaces"][name(i)], after["status"][entity][name(i)]
            after["interfaces"][f"Lag{i}"] = i
            after["status"].setdefault("slice2", {})[f"Lag{i}"] = intf((N, 2, N, 1))
    daemon = agent().start(state=before)
    stops = [walker(daemon, *V2C, "-Cr10"), walker(daemon, *V2C, "-Cr100")]
    daemon.apply(after)
    walks = [w for stop in stops for w in stop()]
    old, new = set(cells(before)), set(cells(after))
    stable = {c[0] for c in new if c[0][-2] not in moved}
    for n, pairs in enumerate(walks):
        assert increasing(pairs), f"walk {n} of {len(walks)}"
        assert set(pairs) <= old | new, f"walk {n}: a value of neither state"
        assert stable <= {p[0] for p in pairs}, f"walk {n} skipped stable rows"
    assert walk(daemon, *V2C) == cells(after)


def test_walks_stay_complete_while_drops_change(agent):
    daemon = agent().start("--simulate", "500", "--sim-interval-ms", "10")
    assert len(first := walk(daemon, *V2C)) == 3 * 4 * 500
    stops = [walker(daemon, *V2C, "-Cr10"), walker(daemon, *V2C, "-Cr1000")]
    getnext = [walk(daemon, *V2C, tool="snmpwalk") for _ in range(2)]
    steady, moved = len(first) * 2 // 3, False
    for walks in [[first] + stops[0](), stops[1](), getnext]:
        for n, pairs in enumerate(walks):
            # Every row, in order; thresholds and units steady; drops never going back.
            assert [p[0] for p in pairs] == [p[0] for p in first], f"walk {n}"
            assert pairs[:steady] == first[:steady], f"walk {n}"
            if n:
                drops, now = ([number(v) for _, v in w[steady:]] for w in (walks[n - 1], pairs))
                assert all(a <= b for a, b in zip(drops, now)), f"walk {n}"
                moved = moved or drops != now
    assert moved, "the drop counters never changed between walks"


def test_walks_follow_the_flaps(agent):
    # Until a walk reads what the log, unchanged meanwhile, says once every interface flapped.
    daemon = agent().start("--simulate", "4", "--sim-interval-ms", "0", "--sim-flap-ms", "200",
                           "--trace", "Simulator/1")

    def settled():
        live, log = set(range(1001, 1005)), daemon.log()  # the ifIndexes the log tells
        for gone, new in re.findall(r"ifIndex (\d+) withdrawn|new ifIndex (\d+)", log):
            live = live - {int(gone)} if gone else live | {int(new)}
        oids = [oid for oid, _ in walk(daemon, *V2C)]
        expected = [ENTRY + (c, i, k) for c in (2, 3, 4) for i in sorted(live) for k in range(4)]
        return log.count("withdrawn") > 4 and log == daemon.log() and oids == expected

    until(settled, daemon.log, pause=0)
