# tests/host/system/test_changes.py — the table while its state file changes: a live reload read
# by walks during it, a refused file that keeps the table, and an agent restart (SIGUSR2) with edits
# meanwhile. Walks under the simulator's drop changes and flaps are the soak's; the applier's kinds
# of edit, and reads of refused files, are the unit tests'.
import copy
import os
import signal

from snmp import N, V2C, cells, increasing, intf, large, name, walk, walker, write


def test_walks_during_a_reload_miss_no_stable_row_and_a_refused_file_keeps_it(agent):
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
    # Refused: a FIFO renamed over the file, then read again on SIGHUP (waiting for a writer
    # would hang).
    os.mkfifo(daemon.dir / "fifo")
    os.rename(daemon.dir / "fifo", daemon.dir / "state.json")
    daemon.expect("state.json: not a regular file: FIFO")
    daemon.proc.send_signal(signal.SIGHUP)
    daemon.expect("state.json: not a regular file: FIFO", 2)
    assert daemon.log_count("keeping the running state") == 2, daemon.log()
    assert walk(daemon, *V2C) == cells(after)


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
    daemon.apply(state)
    assert walk(daemon, *V2C) == cells(state)
