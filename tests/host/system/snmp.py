# tests/host/system/snmp.py — the table as the snmp clients read it: the state file's model, the
# cells it means, the clients' output read back as (OID, value) pairs, and walks in the background.
import json
import os
import subprocess
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

BUILT = Path(os.environ.get("STORMCONTROL_AGENT", ""))  # the daemon, its tools beside it
# The MIB's OIDs as the contract states them (stormcontrol-oids): NAME -> tuple.
OIDS = {name: tuple(map(int, value.split("."))) for name, value in (line.split("=") for line in
        subprocess.run([BUILT.with_name("stormcontrol-oids")], capture_output=True, text=True,
                       check=True).stdout.split())}
TABLE = OIDS["TABLE_OID"]
ENTRY = TABLE + (1,)  # columns 2 to 4: threshold level, threshold units, drops
# Each class's fields and defaults in the state file's order, as the daemon's writer spells out
# a status that names none (stormcontrol-state).
DEFAULTS = json.loads(subprocess.run(
    [BUILT.with_name("stormcontrol-state")], input='{"status": {"s": {"E": {}}}}',
    capture_output=True, text=True, check=True).stdout)["status"]["s"]["E"]
CLASSES = tuple(DEFAULTS)
FIELDS = tuple(DEFAULTS[CLASSES[0]])
TYPES = {2: "Counter64", 3: "INTEGER", 4: "Counter64"}
END = "No more variables left in this MIB View (It is past the end of the MIB tree)"
V1, V2C = ("-v1", "-cpublic"), ("-v2c", "-cpublic")
ENGINE = ("1.3.6.1.6.3.10.2.1.1.0", "1.3.6.1.6.3.10.2.1.2.0")  # snmpEngineID and snmpEngineBoots
# SNMPv3 users at authPriv: their lines in a -C file, and a client's options.
OP_USER = "createUser op SHA-256 authpass12 AES privpass12\n"
OP = ("-v3", "-lauthPriv", "-uop", "-aSHA-256", "-Aauthpass12", "-xAES", "-Xprivpass12")
LEGACY_USER = "createUser legacy SHA authpass34 AES privpass34\n"
LEGACY = ("-v3", "-lauthPriv", "-ulegacy", "-aSHA", "-Aauthpass34", "-xAES", "-Xprivpass34")
U64 = 2**64 - 1
CLIENT_S = 180.0  # a hung client's deadline: a walk of 24,000 values in the sanitizer build
N = None


def intf(*classes):
    """An interface's status: values of FIELDS (level, units, scale, drops) per class; N omits a
    field or class."""
    return {CLASSES[c]: dict((k, v) for k, v in zip(FIELDS, t)
                             if v is not N) for c, t in enumerate(classes) if t is not N}


# Configured and default classes over two entities, an interface without a status and a status
# without an interface, ifIndexes up to 2^32 - 1 and counters a double or an int64 would alter.
# The default level with other units or scale (Ethernet1/10) is configured: its level is served.
SAMPLE = {
    "interfaces": {"Ethernet1/1": 1, "Ethernet1/2": 2, "Ethernet1/3": 3, "Ethernet1/10": 10,
                   "Ethernet2/1": 1001, "Ethernet9/9": 99, "Port-Channel5": 100005,
                   "Ethernet8/1": 2**31, "Ethernet8/2": 2**32 - 1, "Ethernet8/3": 2**31 - 1,
                   "Ethernet8/4": 3000000000},
    "status": {"slice0": {
        "Ethernet1/1": intf((500, 1, 4, 12), (N, N, N, 3), (), (1000, 2)),
        "Ethernet1/10": intf((N, N, 5), (10000, 1, N, 7), (10000, 0, 4, 8)),
        "Ethernet7/7": intf((42, 1, N, 42)), "Ethernet8/3": intf((7, 1, N, 3)),
        "Ethernet8/1": intf((U64 - 1, 1, N, 2**63), (2**53 + 1, 2, N, 2**53 + 1),
                            (2**63 - 1, 1, N, U64 - 1))}, "slice1": {
        "Ethernet1/2": intf((U64, 2, 255, U64), (0, 0, 0, 0), (2**32, 1, 4, 2**32 + 1),
                            (1, 1, 1, 1)),
        "Ethernet1/3": {}, "Ethernet8/4": {},
        "Ethernet2/1": intf((2500, 1, 4, 250), N, (N, 0, 4, 99)),
        "Port-Channel5": intf((N, 2), N, N, (N, N, N, 5)),
        "Ethernet8/2": intf((2**63, 1, N, 2**63 - 1), N, N, (U64, 2, N, U64))}},
}


def large(count):
    """`count` interfaces with ifIndexes 1 to `count`, odd ones in slice0, even ones in slice1."""
    return {"interfaces": {name(i): i for i in range(1, count + 1)},
            "status": {f"slice{s}": {name(i): intf((i, i % 3, N, i * 7), N, N, (N, N, N, i))
                                     for i in range(1 + s, count + 1, 2)} for s in (0, 1)}}


def name(i):
    return f"Ethernet{i // 48 + 1}/{i % 48}"


def write(path, state, in_place=False):
    """Writes the state file, renamed over the old one unless `in_place`."""
    (written := path if in_place else path.with_suffix(".new")).write_text(json.dumps(state))
    os.replace(written, path)


def rows(state):
    """(ifIndex, class, level, units, drops) of each row, in index order; a threshold equal to
    the default (every field but the drops at its default) is served as level 0."""
    def row(if_index, c, given):
        v = {**DEFAULTS[CLASSES[c]], **given}
        default = all(v[f] == d for f, d in DEFAULTS[CLASSES[c]].items() if f != "drops")
        return if_index, c, 0 if default else v["level"], v["units"], v["drops"]

    return sorted(row(state["interfaces"][n], c, classes.get(cls, {}))
                  for entity in state["status"].values() for n, classes in entity.items()
                  if n in state["interfaces"] for c, cls in enumerate(CLASSES))


def cells(state, columns=(2, 3, 4)):
    """What a walk of `columns` reads: (OID, value) column by column, in index order."""
    return [(ENTRY + (col, r[0], r[1]), f"{TYPES[col]}: {r[col]}")
            for col in columns for r in rows(state)]


def dotted(oid):
    return "." + ".".join(map(str, oid))


def number(value):
    """The number a client printed: `Counter64: 12` is 12."""
    return int(value.split(": ")[1])


def parse(out):
    """The clients' -On lines as (OID, value) pairs; a long hex string's further lines joined."""
    pairs = []
    for line in out.splitlines():
        name, sep, value = line.partition(" = ")
        if sep and name.startswith("."):
            pairs.append((tuple(map(int, name[1:].split("."))), value))
        elif pairs:
            pairs[-1] = (pairs[-1][0], pairs[-1][1] + line)
    return pairs


def ask(target, tool, *args):
    """The pairs `tool` reads from `target` (a Daemon), after checking it reported no error."""
    result = target.client(tool, "-On", *args, timeout=CLIENT_S)
    failed = result.returncode or "Error" in result.stderr or "Timeout" in result.stderr
    assert not failed, f"{result.args}: {result.stderr}{result.stdout[-2000:]}"
    return parse(result.stdout)


def walk(target, *args, tool="snmpbulkwalk", root=TABLE):
    """The pairs of a walk of `root`, without the endOfMibView that ends a walk of the view."""
    pairs = ask(target, tool, *args, dotted(root))
    return pairs[:-1] if pairs and pairs[-1][1] == END else pairs


def increasing(pairs):
    return (oids := [oid for oid, _ in pairs]) == sorted(set(oids))


def walker(target, *args, keep=lambda run: run(), **where):
    """Walks again and again in a thread; returns a function that stops it and gives what `keep`
    made of each walk from a call that runs it (the pairs by default), or raises a walk's error."""
    done = threading.Event()

    def loop():
        results = []
        while not done.is_set():
            results.append(keep(lambda: walk(target, *args, **where)))
        return results

    future = (pool := ThreadPoolExecutor(1)).submit(loop)
    pool.shutdown(wait=False)  # its thread ends with the loop

    def stop():
        done.set()
        return future.result()

    return stop
