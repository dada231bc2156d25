# tests/host/system/test_simulator.py — walks of the simulated switch: complete and in order while
# its drop counters change every 10 ms and other walks run, and following its interface flaps.
import re
import time

from conftest import EVENT_S
from snmp import ENTRY, V2C, Walker, walk


def test_walks_stay_complete_while_drops_change(agent):
    daemon = agent().start("--simulate", "500", "--sim-interval-ms", "10")
    assert daemon.wait_for_log("table ready"), daemon.log()
    first = walk(daemon, *V2C)
    assert len(first) == 3 * 4 * 500
    walkers = [Walker(daemon, *V2C, "-Cr10"), Walker(daemon, *V2C, "-Cr1000")]
    getnext = [walk(daemon, *V2C, tool="snmpwalk") for _ in range(2)]
    moved = False
    for walks in [[first] + walkers[0].stop(), walkers[1].stop(), getnext]:
        for n, pairs in enumerate(walks):
            # Every row, in order; thresholds and units steady; drops never going back.
            assert [p[0] for p in pairs] == [p[0] for p in first], f"walk {n}"
            steady = len(first) * 2 // 3
            assert pairs[:steady] == first[:steady], f"walk {n}"
            if n:
                drops = [int(v.split(": ")[1]) for _, v in walks[n - 1][steady:]]
                now = [int(v.split(": ")[1]) for _, v in pairs[steady:]]
                assert all(a <= b for a, b in zip(drops, now)), f"walk {n}"
                moved = moved or drops != now
    assert moved, "the drop counters never changed between walks"


def ifindexes(log):
    """The simulated switch's ifIndexes after the flap steps its log shows."""
    live = set(range(1001, 1005))
    for gone, new in re.findall(r"ifIndex (\d+) withdrawn|new ifIndex (\d+)", log):
        live = live - {int(gone)} if gone else live | {int(new)}
    return live


def test_walks_follow_the_flaps(agent):
    # Wait for a walk that reads what the log says, the log unchanged meanwhile, once every
    # interface has flapped and the first is away again: withdrawn rows must go, new ones come.
    daemon = agent().start("--simulate", "4", "--sim-interval-ms", "0", "--sim-flap-ms", "200",
                           "--trace", "Simulator/1")
    deadline = time.monotonic() + EVENT_S
    while True:
        log = daemon.log()
        pairs = walk(daemon, *V2C)
        expected = [ENTRY + (c, i, k) for c in (2, 3, 4) for i in sorted(ifindexes(log))
                    for k in range(4)]
        if log.count("withdrawn") > 4 and log == daemon.log() and [p[0] for p in pairs] == expected:
            break
        assert time.monotonic() < deadline, f"{pairs}\n{log}"
