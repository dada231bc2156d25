# tests/host/system/test_table.py — the table read by real clients from one daemon serving the
# sample state: walks (net-snmp's clients, SNMPv1 and v2c; SNMPv3 through the npm package's
# independent stack), SETs and weaker credentials refused, contexts not served, names with the MIB
# loaded; then datagrams no client would send, which must be answered within size limits or dropped.
# Request details (ordering, GETBULK arithmetic, columns) are the in-process tests' and fuzz model's.
import random
import subprocess
from pathlib import Path

import pytest

import wire
from conftest import daemons
from snmp import CLASSES, ENGINE, OP, OP_USER, SAMPLE, TABLE, V1, V2C, cells, dotted, rows, walk

ROOT = Path(__file__).resolve().parents[3]
IETF_MIBS = ROOT / "node_modules" / "net-snmp" / "lib" / "mibs"
CONFIG = (f"rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n{OP_USER}"
          "rouser op priv\ncreateUser tester\nrouser tester noauth\n")
CELLS = cells(SAMPLE)
TABLE_TEXT = dotted(TABLE)[1:]  # for datagrams, with the simulated switch's first cell and drops:
FIRST, DROPS = TABLE_TEXT + ".1.2.1001.0", TABLE_TEXT + ".1.4"
WIRE_CONFIG = ("rocommunity public 127.0.0.1\ncreateUser guest\nrouser guest noauth\n"
               "createUser signer SHA signerpassword\nrouser signer auth\n")
# Requests net-snmp would misread, by the name the daemon logs when it drops them.
MISREAD = {
    # 2^64 + 1001 wraps around to 1001 in net-snmp: the answer would be for another row.
    "subidentifier": wire.v2c(wire.GET, [TABLE_TEXT + f".1.4.{2**64 + 1001}.0"]),
    "version": wire.v2c(wire.GET, [ENGINE[0]], version=2**40),
    "bulkInV1": wire.v2c(wire.GETBULK, [TABLE_TEXT], 0, 5, version=0),
    "requestId": wire.v2c(wire.GET, [ENGINE[0]], request_id=2**40)}


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with daemons(tmp_path_factory.mktemp("table")) as make:
        yield make().start("--context", "other", conf=CONFIG, state=SAMPLE)


def test_snmpv1_walks_the_integer_column_only(served):
    # SNMPv1 has no Counter64: net-snmp leaves those columns out of v1's view. The full walks in
    # unsigned order are snmptable's (GETBULK) and the npm client's (GETNEXT, GETBULK) below.
    assert walk(served, *V1, tool="snmpwalk") == cells(SAMPLE, (3,))


@pytest.mark.parametrize("tool, auth, reason", [
    ("snmpset", V2C, "Reason: noAccess"), ("snmpset", V1, "Reason: (noSuchName)"),
    ("snmpset", ("-v2c", "-cprivate"), "Reason: notWritable"),
    ("snmpget", OP[:1] + ("-lauthNoPriv",) + OP[2:5], "authorizationError"),
    # A context given with --context is noted, not served: nothing is registered in it.
    ("snmpget", ("-v3", "-lnoAuthNoPriv", "-utester", "-nother"), "Timeout")], ids=str)
def test_sets_weaker_credentials_and_other_contexts_are_refused(served, tool, auth, reason):
    # Unsigned32 stands in for Counter64 in snmpset.
    value = ("u", "5") if tool == "snmpset" else ()
    quick = ("-t1", "-r0") if reason == "Timeout" else ()
    got = served.client(tool, "-On", *quick, *auth, dotted(CELLS[0][0]), *value)
    assert got.returncode and not got.stdout and reason in got.stderr, got


def test_snmptable_names_columns_and_classes_with_the_mib_loaded(served):
    assert IETF_MIBS.is_dir(), f"{IETF_MIBS} is missing: run `make deps`"
    table = subprocess.run(["snmptable", *V2C, f"-M+{ROOT / 'mibs'}:{IETF_MIBS}",
                            "-mBRELTA-STORM-CONTROL-MIB", "-Ci", "-Cf", ",", served.address,
                            "BRELTA-STORM-CONTROL-MIB::breltaStormControlIfTable"],
                           env=served.env, capture_output=True, text=True, timeout=120)
    complaints = [l for l in table.stderr.splitlines() if not l.startswith("Created directory")]
    assert table.returncode == 0 and not complaints, table.stderr
    units = ("percentage", "packetsPerSecond", "kilobitsPerSecond")
    assert table.stdout.splitlines() == [
        "SNMP table: BRELTA-STORM-CONTROL-MIB::breltaStormControlIfTable", "",
        "index,breltaStormControlIfThresholdLevel,breltaStormControlIfThresholdUnits,"
        "breltaStormControlIfDrops"] + [f"{i}.{CLASSES[c]},{level},{units[u]},{drops} packets"
                                        for i, c, level, u, drops in rows(SAMPLE)]


@pytest.mark.parametrize("mode, auth", [
    ("getnext", ("--community", "public")),
    ("bulk", ("--user", "op", "--auth", "sha256", "--auth-key", "authpass12", "--priv", "aes",
              "--priv-key", "privpass12"))], ids=["GETNEXT v2c", "GETBULK v3 authPriv"])
def test_npm_client_reads_the_state_files_rows(served, mode, auth):
    assert IETF_MIBS.is_dir(), "the npm package net-snmp is missing: run `make deps`"
    # 7 repetitions end requests inside rows and columns, and the last one past the table.
    npm = subprocess.run(["node", str(Path(__file__).with_name("walk.js")), "--mode", mode,
                          "--max-repetitions", "7", "--agent", f"127.0.0.1:{served.port}",
                          "--oid", TABLE_TEXT, *auth],
                         capture_output=True, text=True, timeout=120)
    assert npm.returncode == 0 and not npm.stderr, npm.stderr
    assert npm.stdout.splitlines() == [
        f"{dotted(oid)[1:]} {value.replace('INTEGER:', 'Integer').replace(': ', ' ')}"
        for oid, value in CELLS]


@pytest.fixture
def daemon(agent):
    """The simulated switch, for datagrams: it needs no state file, and a test may flood it."""
    return agent().start(conf=WIRE_CONFIG)


@pytest.fixture
def manager(daemon):
    yield (m := wire.Manager(daemon.port))
    m.close()


def still_answers(manager):
    """A GET is answered within a manager's usual retries (a flood may fill the socket buffer)."""
    asks = (manager.ask(wire.v2c(wire.GET, [ENGINE[0]], request_id=99), 3) for _ in range(5))
    return (answer := next(filter(None, asks), None)) and answer.varbinds[0][0] == ENGINE[0]


def names(answer):
    return [oid for oid, _, _ in answer.varbinds]


def test_answers_fit_the_smaller_of_both_limits_or_are_tooBig(daemon, manager):
    engine = manager.discover()
    for max_size in (484, 485, 600, 1000, 1472, 4096, 65507):
        for repetitions in (1, 20, 100, 5000):
            request = wire.pdu(wire.GETBULK, 7, [TABLE_TEXT], 0, repetitions)
            answer = manager.ask(wire.v3_message(request, b"guest", engine, max_size=max_size))
            assert answer is not None, (max_size, repetitions)
            assert answer.size <= max_size and answer.error_status == wire.NO_ERROR
            assert names(answer)[:1] == [FIRST], names(answer)[:3]
    # SNMPv2c states no maximum: ours, the UDP limit, holds. Non-repeaters have no budget, and
    # the next name after a short one (sysDescr.0) comes with a value, so the answer outgrows the
    # request.
    answer = manager.ask(wire.v2c(wire.GETBULK, ["1.3"] * 3000, 3000, 0))
    assert answer is not None and answer.size <= wire.UDP_LIMIT
    assert 0 < len(answer.varbinds) < 3000 and set(names(answer)) == {"1.3.6.1.2.1.1.1.0"}
    # More repeaters than the budget of values still get one repetition each.
    answer = manager.ask(wire.v2c(wire.GETBULK, [DROPS] * 150, 0, 5))
    assert answer is not None and answer.error_status == wire.NO_ERROR
    assert names(answer) == [DROPS + ".1001.0"] * 100
    # Other answers too big are tooBig without variables, logged once; SNMPv1 keeps them.
    for request_id in range(3):
        answer = manager.ask(wire.v2c(wire.GETNEXT, [DROPS] * 3000, request_id=request_id))
        assert answer is not None, "no answer: the manager would retry for ever"
        assert (answer.error_status, answer.error_index, answer.varbinds) == (wire.TOO_BIG, 0, [])
    answer = manager.ask(wire.v2c(wire.GETNEXT, [DROPS] * 2000, request_id=3, version=0), 30)
    assert (answer.error_status, answer.error_index, len(answer.varbinds)) == (wire.TOO_BIG, 0, 2000)
    assert still_answers(manager)
    assert daemon.log_count("answered tooBig") == 1, daemon.log()
    assert "tooBig=4" in daemon.report("tooBig=")


@pytest.mark.parametrize("name", MISREAD)
def test_requests_net_snmp_would_misread_are_dropped(daemon, manager, name):
    for _ in range(3):
        assert manager.ask(MISREAD[name], timeout=1) is None
    assert still_answers(manager)
    assert daemon.log_count(f"dropped a request: {name}") == 1, daemon.log()


def test_a_flood_of_malformed_datagrams_leaves_a_short_log(daemon, manager):
    engine, get = manager.discover(), wire.pdu(wire.GET, 7, [TABLE_TEXT])
    # The last claims authentication with a wrong digest: net-snmp logs each one.
    seeds = [wire.v2c(wire.GETBULK, [TABLE_TEXT], 0, 5), wire.v3_message(get, b"guest", engine),
             wire.v3_message(get, b"signer", engine, flags=0x05)]
    rnd = random.Random(15)
    for _ in range(3000):
        datagram = bytearray(rnd.choice(seeds))
        for _ in range(rnd.randint(1, 4)):
            datagram[rnd.randrange(len(datagram))] = rnd.randrange(256)
        manager.send(bytes(datagram))
    assert still_answers(manager)
    assert len(lines := daemon.log().splitlines()) < 60, "\n".join(lines)
    daemon.report('limited log lines "Authentication failed for"')
