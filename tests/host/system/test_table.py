# tests/host/system/test_table.py — the table read by real clients from one daemon serving the
# sample state: walks, GET, GETNEXT and GETBULK (net-snmp's clients, SNMPv1, v2c and v3), SETs
# refused, contexts not served, names with the MIB loaded and the npm package's independent stack;
# then datagrams no client would send, which must be answered within size limits or dropped.
import random
import subprocess
from pathlib import Path

import pytest

import wire
from conftest import daemons
from snmp import (CLASSES, END, ENGINE, ENTRY, LEGACY, LEGACY_USER, OP, OP_USER, SAMPLE, TABLE,
                  V1, V2C, ask, cells, dotted, rows, walk)

ROOT = Path(__file__).resolve().parents[3]
IETF_MIBS = ROOT / "node_modules" / "net-snmp" / "lib" / "mibs"
TESTER = ("-v3", "-lnoAuthNoPriv", "-utester")
CONFIG = (f"rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n{OP_USER}"
          f"rouser op priv\n{LEGACY_USER}rouser legacy priv\ncreateUser tester\n"
          "rouser tester noauth\ncom2sec -Cn other otherSec 127.0.0.1 othercomm\n"
          "group otherGroup v2c otherSec\nview everything included .1\n"
          "access otherGroup other any noauth exact everything none none\n")
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


def cell(column, ifindex, cls):
    return ENTRY + (column, ifindex, cls)


@pytest.mark.parametrize("tool, auth, columns, root", [("snmpwalk", V2C, (2, 3, 4), TABLE)] + [
    ("snmpbulkwalk", auth, (2, 3, 4), TABLE) for auth in (
        V2C + ("-Cr1",), V2C + ("-Cr7",), V2C + ("-Cr1000",), OP, LEGACY, TESTER)] + [
    ("snmpbulkwalk", V2C, (c,), ENTRY + (c,)) for c in (2, 3, 4)] + [
    # SNMPv1 has no Counter64: net-snmp leaves those columns out of v1's view.
    ("snmpwalk", V1, (3,), TABLE)], ids=str)
def test_walks_read_the_state_files_rows_in_unsigned_order(served, tool, auth, columns, root):
    assert walk(served, *auth, tool=tool, root=root) == cells(SAMPLE, columns)


def assert_next(answers, asked):
    """Each answer is the next cell after its asked OID, or past the table when there is none."""
    assert len(answers) == len(asked), answers
    for oid, (name, value) in zip(asked, answers):
        if expected := next((c for c in CELLS if c[0] > oid), None):
            assert (name, value) == expected, dotted(oid)
        else:
            assert value == END or (name > TABLE and name[:len(TABLE)] != TABLE), (oid, name)


def test_get_getnext_and_getbulk_answer_each_variable_of_a_pdu(served):
    assert ask(served, "snmpget", *V2C, *(dotted(o) for o, _ in CELLS)) == CELLS
    missing = [cell(2, 4, 0), cell(3, 99, 0), cell(4, 1, 4), cell(2, 0, 0),
               cell(2, 2**32 - 2, 0), ENTRY + (2, 1), ENTRY + (3, 1, 0, 0)]
    columns = [cell(1, 1, 0), cell(5, 1, 0)]
    assert ask(served, "snmpget", *V2C, *map(dotted, missing + columns)) == \
        [(o, "No Such Instance currently exists at this OID") for o in missing] + \
        [(o, "No Such Object available on this agent at this OID") for o in columns]
    # Stems, gaps, column and table ends, in mixed and descending order, then every row.
    last = CELLS[-1][0][-2:]
    asked = [TABLE, ENTRY, ENTRY + (1,), ENTRY + (5,), ENTRY + (2, 1), cell(2, 5, 0),
             cell(3, 1, 3), cell(4, 2**32 - 1, 3), cell(4, 1001, 3), cell(2, 1, 0),
             cell(3, 10, 1), cell(4, 100005, 3), cell(2, 3, 3), TABLE]
    asked += [o for c in (2, 3, 4) for o in (ENTRY + (c,), cell(c, *last))]
    asked += [cell(2, r[0], r[1]) for r in rows(SAMPLE)]
    assert_next(ask(served, "snmpgetnext", *V2C, *map(dotted, asked)), asked)
    # One non-repeater, then two repeaters each stepping on from its own place.
    asked = [cell(4, 2, 1), cell(2, 3, 1), cell(3, 1001, 2)]
    mixed = ask(served, "snmpbulkget", *V2C, "-Cn1", "-Cr3", *map(dotted, asked))
    assert_next(mixed, asked + [mixed[i - 2][0] for i in range(3, 7)])  # 7 answers
    # SNMPv1 reads the integer column only: it has no Counter64.
    first, units = CELLS[0][0], cells(SAMPLE, (3,))[:1]
    assert ask(served, "snmpget", *V1, dotted(cell(3, *first[-2:]))) == units
    assert ask(served, "snmpgetnext", *V1, dotted(ENTRY + (2,))) == units
    level = served.client("snmpget", *V1, dotted(first))
    assert level.returncode and "noSuchName" in level.stderr and not level.stdout, level


@pytest.mark.parametrize("auth, reason", [
    (V2C, "noAccess"), (V1, "(noSuchName)"), (("-v2c", "-cprivate"), "notWritable")])
def test_sets_are_refused_and_change_nothing(served, auth, reason):
    # Each column of a row, and a missing row; Unsigned32 stands in for Counter64 in snmpset.
    sets = [(cell(c, 2, 1), k, v) for c, k, v in zip(range(1, 6), "iuiui", "15201")]
    for oid, kind, value in sets + [(cell(3, 77, 0), "i", "2")]:
        refused = served.client("snmpset", "-On", *auth, dotted(oid), kind, value)
        assert refused.returncode and not refused.stdout, refused
        assert f"Reason: {reason}" in refused.stderr, refused
    assert walk(served, *V2C) == CELLS


@pytest.mark.parametrize("auth, reason", [
    (OP[:4] + ("-Aauthpass99",) + OP[5:], "Authentication failure"),
    # A wrong privacy passphrase decrypts to garbage, which net-snmp drops unanswered.
    (OP[:6] + ("-Xprivpass99",), "Timeout"),
    (OP[:2] + ("-unobody",) + OP[3:], "Unknown user name"),
    (("-v3", "-lauthNoPriv", "-uop", "-aSHA-256", "-Aauthpass12"), "authorizationError"),
    (("-v3", "-lnoAuthNoPriv", "-uop"), "authorizationError"),
    # A context given with --context is noted, not served: nothing is registered in it.
    (TESTER + ("-nother",), "Timeout"), (("-v2c", "-cothercomm"), "Timeout")],
    ids=["wrong auth", "wrong priv", "unknown user", "authNoPriv", "noAuthNoPriv",
         "v3 context", "v2c context"])
def test_weaker_or_wrong_credentials_read_nothing(served, auth, reason):
    quick = ("-t1", "-r0") if reason == "Timeout" else ()
    for tool, oid in (("snmpget", CELLS[0][0]), ("snmpgetnext", TABLE)):
        got = served.client(tool, "-On", *quick, *auth, dotted(oid))
        assert not got.stdout and reason in got.stderr, got


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


@pytest.mark.parametrize("mode", ["getnext", "bulk"])
@pytest.mark.parametrize("auth", [
    ("--community", "public"), ("--user", "op", "--auth", "sha256", "--auth-key", "authpass12",
                                "--priv", "aes", "--priv-key", "privpass12")],
    ids=["v2c", "v3 authPriv"])
def test_npm_client_reads_what_snmpbulkwalk_reads(served, mode, auth):
    assert IETF_MIBS.is_dir(), "the npm package net-snmp is missing: run `make deps`"
    # 7 repetitions end requests inside rows and columns, and the last one past the table.
    npm = subprocess.run(["node", str(Path(__file__).with_name("walk.js")), "--mode", mode,
                          "--max-repetitions", "7", "--agent", f"127.0.0.1:{served.port}",
                          "--oid", TABLE_TEXT, *auth],
                         capture_output=True, text=True, timeout=120)
    assert npm.returncode == 0 and not npm.stderr, npm.stderr
    types = {"Counter64": "Counter64", "INTEGER": "Integer"}
    assert npm.stdout.splitlines() == [
        f"{dotted(oid)[1:]} {types[value.split(': ')[0]]} {value.split(': ')[1]}"
        for oid, value in walk(served, *(OP if "--user" in auth else V2C))]


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
            key = [tuple(map(int, n.split("."))) for n in names(answer)]
            assert names(answer)[:1] == [FIRST] and key == sorted(set(key)), names(answer)[:3]
    # SNMPv2c states no maximum: ours, the UDP limit, holds. Non-repeaters have no budget, and
    # the next name after a short one comes with a value, so the answer outgrows the request.
    answer = manager.ask(wire.v2c(wire.GETBULK, ["1.3"] * 3000, 3000, 0))
    assert answer is not None and answer.size <= wire.UDP_LIMIT
    assert 0 < len(answer.varbinds) < 3000 and set(names(answer)) == {FIRST}
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
