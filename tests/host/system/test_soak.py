# tests/host/system/test_soak.py — the daemon for SOAK_S seconds (60 unless set) under drop
# changes, flaps, agent restarts and four managers walking again and again, each walk checked;
# then its memory, allocations, log and exit. It prints its figures at the end.
import os
import re
import signal
import time
from collections import Counter
from pathlib import Path

import pytest

from conftest import AGENT, START_S
from snmp import CLASSES as NAMES, ENTRY, V2C, dotted, number, walker

INTERFACES, CLASSES, RESTART_S = 2000, len(NAMES), 5  # CLASSES: rows per interface
MAX_GROWTH_PERCENT = 5  # resident memory at the end over its level after the warm-up
FLAP_LAG = 8  # flap steps logged before a walk that the table may apply only during it
# A step of a flap; the next flap brings the interface back with a new ifIndex.
FLAP = re.compile(r"Simulator/1 Simulator::\w+: Ethernet\d+/\d+ "
                  r"(?:down, ifIndex (\d+) withdrawn|up, new ifIndex (\d+))")
# Every other line the daemon may log during the soak.
EXPECTED = ("listening on ", "table ready: ", "restarting agent", "counters: ", "scheduler: ",
            "notifications: ", "allocations: ", "requests: ", "shutting down")
# Between rounds: an entry per row (one interface away), a status per interface, no walk context.
STEADY = {"StormControlSnmp::StormControlIfTableEntry": CLASSES * (INTERFACES - 1),
          "Bridging::StormControl::IntfStatus": INTERFACES, "breltaStormControlIfTable_entry": None}


def flap_steps(daemon):
    """(came back, ifIndex) for each flap step logged so far, in order."""
    return [(m[1] is None, int(m[1] or m[2])) for m in map(FLAP.fullmatch, daemon.lines()) if m]


def allocations(daemon, steady):
    """The live objects by type the daemon logs on SIGUSR1, sampled until `steady` holds, 10 s
    at most (the counts are exact only between the simulator's rounds and the machine's runs)."""
    for _ in range(50):
        counts = (w.rsplit("=", 1) for w in daemon.report("allocations: ").split()[1:])
        if steady(live := {t: int(n) for t, n in counts if n != "0"}):  # zeros stay listed
            break
        time.sleep(0.2)
    return live


class Check:
    """What is wrong with each walk of `columns` (None when nothing): it must be strictly
    increasing, hold every cell of each interface that did not flap while it ran (as the flap
    lines tell) and no row of an ifIndex already gone, and no drop counter below the last walk's."""

    def __init__(self, daemon, columns):
        self.daemon, self.cells, self.drops = daemon, columns * CLASSES, {}

    def __call__(self, run):
        before = flap_steps(self.daemon)
        try:
            pairs = run()
        except Exception as error:  # the client failed or hung past its deadline
            return f"{type(error).__name__}: {error}"
        flapped = {i for _, i in flap_steps(self.daemon)[max(0, len(before) - FLAP_LAG):]}
        if odd := [p for p in pairs if p[0][:-3] != ENTRY or not re.fullmatch(r"\w+: \d+", p[1])]:
            return f"unexpected variable {odd[0]}"
        if back := [b for a, b in zip(pairs, pairs[1:]) if b[0] <= a[0]]:
            return f"{dotted(back[0][0])} does not increase"
        cells = Counter(oid[-2] for oid, _ in pairs)
        drops = {oid[-2:]: number(value) for oid, value in pairs if oid[-3] == 4}
        # Interface i is Ethernet<m>/<p>, ifIndex m * 1000 + p, until a flap gives it another.
        table = {(i // 48 + 1) * 1000 + i % 48 + 1 for i in range(INTERFACES)}
        for up, if_index in before:
            (table.add if up else table.discard)(if_index)
        if short := [i for i in sorted(table - flapped) if cells[i] != self.cells]:
            return f"ifIndex {short[0]} has {cells[short[0]]} cells of {self.cells}"
        if gone := set(cells) - table - flapped:
            return f"rows of ifIndex {min(gone)}, which was gone"
        old, self.drops = self.drops, drops
        if back := [r for r, n in drops.items() if n < old.get(r, 0)]:
            return f"drops of row {back[0]} went back from {old[back[0]]} to {drops[back[0]]}"


@pytest.mark.soak
def test_daemon_stays_exact_and_flat_under_load(agent):
    duration = float(os.environ.get("SOAK_S") or 60)
    warm_up = min(60, duration / 3)
    daemon = agent().start("--simulate", str(INTERFACES), "--sim-interval-ms", "10",
                           "--sim-flap-ms", "100", "--trace", "Simulator/1")
    status = Path(f"/proc/{daemon.proc.pid}/status")
    sanitized = b"__asan_init" in Path(AGENT).read_bytes()
    daemon.expect("Simulator/1 ")  # from the first flap on, one interface is away at any time
    # The counts to come back to are a restarted agent's: the first machine keeps its
    # reconciliation task (it had no rows to reconcile), one started on a held table releases it.
    daemon.proc.send_signal(signal.SIGUSR2)
    daemon.expect("table ready: ", 2, timeout=START_S)
    restarts, steady = 1, lambda live: {t: live.get(t) for t in STEADY} == STEADY
    assert steady(before := allocations(daemon, steady)), before

    # GETNEXT walks the drops column only: the whole table would take the sanitizer build too long.
    client = ("-Oe", "-t5", "-r2", *V2C)
    managers = {"snmpwalk": walker(daemon, *client, tool="snmpwalk", root=ENTRY + (4,),
                                   keep=Check(daemon, 1))} | {
        f"-Cr{r}": walker(daemon, f"-Cr{r}", *client, root=ENTRY, keep=Check(daemon, 3))
        for r in (10, 50, 1000)}
    start, kib = time.monotonic(), []  # resident memory at each tenth of the run
    next_restart, warm_kib = start + RESTART_S, 0
    while (now := time.monotonic()) < start + duration:
        time.sleep(0.1)
        resident = int(re.search(r"VmRSS:\s*(\d+)", status.read_text())[1])
        warm_kib = warm_kib or (now >= start + warm_up and resident)
        if len(kib) < 9 and now >= start + duration * (len(kib) + 1) / 10:
            kib.append(resident)
        # Each restart once the previous one has made the table ready again.
        if now >= next_restart and daemon.log_count("table ready: ") == restarts + 1:
            daemon.proc.send_signal(signal.SIGUSR2)
            restarts, next_restart = restarts + 1, now + RESTART_S
    kib.append(resident)
    walks = {name: stop() for name, stop in managers.items()}

    daemon.expect("table ready: ", restarts + 1, timeout=START_S)
    after = allocations(daemon, lambda live: live == before)
    assert daemon.stop() == 0, daemon.log()
    growth = 100 * (kib[-1] - warm_kib) / warm_kib
    failed = {name: [f"{name}, walk {n + 1}: {r}" for n, r in enumerate(ws) if r]
              for name, ws in walks.items()}
    print(f"\nsoak: {duration:.0f} s, {restarts} restarts, {daemon.log_count(' down, ifIndex ')} "
          "flaps; walks (failed):", *(f"{n} {len(w)} ({len(failed[n])})" for n, w in walks.items()),
          f"resident memory after the {warm_up:.0f} s warm-up {warm_kib} KiB, at the end {kib[-1]}"
          f" KiB: {growth:+.2f} %{' (not checked under AddressSanitizer)' * sanitized}",
          "resident memory (KiB) at each tenth of the run: " + " ".join(map(str, kib)), sep="\n  ")
    assert not (failures := [f for fs in failed.values() for f in fs[:5]]), "\n".join(failures)
    assert after == before, "allocation counts not back to those before the load"
    unexpected = [l for l in daemon.lines() if not (l.startswith(EXPECTED) or FLAP.fullmatch(l))]
    assert not unexpected, "\n".join(unexpected)
    # Not under AddressSanitizer, whose quarantine keeps freed memory.
    assert sanitized or growth <= MAX_GROWTH_PERCENT, "resident memory grew"
