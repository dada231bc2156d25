# tests/host/system/test_daemon.py — the daemon's life: the signals it serves by, and the SNMPv3
# engine state it keeps in its persistent directory across restarts, a killed one included.
import signal

import pytest

from snmp import LEGACY, OP, SAMPLE, V2C, ask, walk

OP_LINES = "createUser op SHA-256 authpass12 AES privpass12\nrouser op priv\n"
BOTH = OP_LINES + "createUser legacy SHA authpass34 AES privpass34\nrouser legacy priv\n"
ENGINE = (".1.3.6.1.6.3.10.2.1.1.0", ".1.3.6.1.6.3.10.2.1.2.0")  # snmpEngineID and Boots


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_signals_log_counters_and_end_cleanly(agent, sig):
    daemon = agent().start("--simulate", "8")
    assert len(walk(daemon, *V2C, tool="snmpwalk")) == 3 * 4 * 8
    # One table entry per row, counted in the plug-in; and the daemon goes on serving.
    assert " StormControlSnmp::StormControlIfTableEntry=32 " in daemon.report("allocations: ")
    for line in ("counters:", "scheduler:", "notifications:"):
        daemon.expect(line)
    assert len(walk(daemon, *V2C)) == 3 * 4 * 8
    daemon.signal(sig)
    assert daemon.wait_exit() == 0, daemon.log()
    assert daemon.log_count("shutting down") == 1 and not daemon.sanitizer_reports(), daemon.log()


def engine_state(daemon, auth):
    """snmpEngineID and snmpEngineBoots as `auth` reads them."""
    (_, engine_id), (_, boots) = ask(daemon, "snmpget", *auth, *ENGINE)
    assert engine_id.startswith("Hex-STRING: "), engine_id
    return engine_id, boots


def test_engine_boots_grow_and_engine_id_stays_across_restarts(agent):
    daemon = agent()
    start = lambda conf: daemon.start("--persistent-dir", "state/agent", conf=conf, state=SAMPLE)
    start(BOTH)
    engine_id, boots = engine_state(daemon, OP)
    assert boots == "INTEGER: 1"
    # No community in the file: SNMPv1 and v2c get nothing.
    v2c = daemon.client("snmpget", "-t1", "-r0", *V2C, ENGINE[1])
    assert "Timeout" in v2c.stderr and not v2c.stdout, v2c
    assert daemon.stop() == 0, daemon.log()
    start(BOTH)
    assert engine_state(daemon, LEGACY) == (engine_id, "INTEGER: 2")
    daemon.signal(signal.SIGKILL)
    assert daemon.wait_exit() is None
    # Users come from -C alone: one taken out of the file is gone, though its rouser line stays.
    start(OP_LINES + "rouser legacy priv\n")
    assert engine_state(daemon, OP) == (engine_id, "INTEGER: 3")
    gone = daemon.client("snmpget", *LEGACY, ENGINE[1])
    assert "Unknown user name" in gone.stderr, gone
