# tests/host/system/test_table.py — the table read by real clients from one daemon serving the
# sample state: walks, GET, GETNEXT and GETBULK (net-snmp's clients, SNMPv1, v2c and v3), SETs
# refused, contexts not served, names with the MIB loaded and the npm package's independent stack.
import subprocess
from pathlib import Path

import pytest

from conftest import daemons
from snmp import (CLASSES, END, ENTRY, LEGACY, LEGACY_USER, OP, OP_USER, SAMPLE, TABLE, V1, V2C,
                  ask, cells, dotted, rows, walk)

ROOT = Path(__file__).resolve().parents[3]
IETF_MIBS = ROOT / "node_modules" / "net-snmp" / "lib" / "mibs"
TESTER = ("-v3", "-lnoAuthNoPriv", "-utester")
CONFIG = (f"rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n{OP_USER}"
          f"rouser op priv\n{LEGACY_USER}rouser legacy priv\ncreateUser tester\n"
          "rouser tester noauth\ncom2sec -Cn other otherSec 127.0.0.1 othercomm\n"
          "group otherGroup v2c otherSec\nview everything included .1\n"
          "access otherGroup other any noauth exact everything none none\n")
CELLS = cells(SAMPLE)


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with daemons(tmp_path_factory.mktemp("table")) as make:
        yield make().start("--context", "other", conf=CONFIG, state=SAMPLE)


def cell(column, ifindex, cls):
    return ENTRY + (column, ifindex, cls)


@pytest.mark.parametrize("tool, auth, columns", [("snmpwalk", V2C, (2, 3, 4))] + [
    ("snmpbulkwalk", auth, (2, 3, 4)) for auth in (
        V2C + ("-Cr1",), V2C + ("-Cr7",), V2C + ("-Cr1000",), OP, LEGACY, TESTER)] + [
    # SNMPv1 has no Counter64: net-snmp leaves those columns out of v1's view.
    ("snmpwalk", V1, (3,))], ids=str)
def test_walks_read_the_state_files_rows_in_unsigned_order(served, tool, auth, columns):
    assert walk(served, *auth, tool=tool) == cells(SAMPLE, columns)


def test_column_walks_and_snmpv1_read_one_column_each(served):
    for column in (2, 3, 4):
        assert walk(served, *V2C, root=ENTRY + (column,)) == cells(SAMPLE, (column,)), column
    first, units = CELLS[0][0], cells(SAMPLE, (3,))[:1]
    assert ask(served, "snmpget", *V1, dotted(cell(3, *first[-2:]))) == units
    assert ask(served, "snmpgetnext", *V1, dotted(ENTRY + (2,))) == units
    level = served.client("snmpget", *V1, dotted(first))
    assert level.returncode and "noSuchName" in level.stderr and not level.stdout, level


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


@pytest.mark.parametrize("auth, reason", [
    (V2C, "noAccess"), (V1, "(noSuchName)"), (("-v2c", "-cprivate"), "notWritable")])
def test_sets_are_refused_and_change_nothing(served, auth, reason):
    # Each column of a row and a row that does not exist, with a value of the column's type
    # where snmpset has one (Counter64 has none: Unsigned32).
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
                          "--oid", dotted(TABLE)[1:], *auth],
                         capture_output=True, text=True, timeout=120)
    assert npm.returncode == 0 and not npm.stderr, npm.stderr
    types = {"Counter64": "Counter64", "INTEGER": "Integer"}
    assert npm.stdout.splitlines() == [
        f"{dotted(oid)[1:]} {types[value.split(': ')[0]]} {value.split(': ')[1]}"
        for oid, value in walk(served, *(OP if "--user" in auth else V2C))]
