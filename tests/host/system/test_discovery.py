# tests/host/system/test_discovery.py — what a manager learns of the daemon and the switch besides
# the table: the system group and sysORTable (from the -C file or the defaults), IF-MIB's names of
# the interfaces following the map, and a subagent leaving both to its master.
from conftest import until
from snmp import OIDS, SAMPLE, V2C, dotted, increasing, walk, walker
from test_peers import CONNECTED, start_master, subagent

SYSTEM, SYS_OR_ID = (1, 3, 6, 1, 2, 1, 1), (1, 3, 6, 1, 2, 1, 1, 9, 1, 2)
MIB, AGENT_ID, IF_NAME = OIDS["MIB_OID"], OIDS["AGENT_OID"], OIDS["IF_NAME_OID"]
IF_NUMBER, IF_INDEX, IF_DESCR = (OIDS["IF_NUMBER_OID"] + (0,), OIDS["IF_INDEX_OID"],
                                 OIDS["IF_DESCR_OID"])


def system(daemon):
    """sysDescr to sysServices by their last arc, and the OIDs sysORTable lists."""
    pairs = walk(daemon, *V2C, root=SYSTEM)
    return ({oid[7]: value for oid, value in pairs if len(oid) == 9},
            {value for oid, value in pairs if oid[:-1] == SYS_OR_ID})


def test_system_group_from_the_config_file_or_the_defaults(agent):
    conf = "rocommunity public 127.0.0.1\n"
    given = agent().start(conf=conf + "sysdescr edge switch\nsysobjectid .1.3.6.1.4.1.99.1\n"
                          "syscontact ops@example.net\nsysname sw1\nsyslocation rack 4\n"
                          "sysservices 6\n")
    values, modules = system(given)
    assert [values[n] for n in (1, 2, 4, 5, 6, 7)] == [
        'STRING: "edge switch"', "OID: .1.3.6.1.4.1.99.1", 'STRING: "ops@example.net"',
        'STRING: "sw1"', 'STRING: "rack 4"', "INTEGER: 6"]
    assert values[3].startswith("Timeticks: ") and f"OID: {dotted(MIB)}" in modules
    values, _ = system(agent().start(conf=conf))
    assert values[1].startswith('STRING: "stormcontrol-agent ') and values[7] == "INTEGER: 2"
    assert values[2] == f"OID: {dotted(AGENT_ID)}"


def names(state):
    """What walks of ifNumber and ifTable's ifIndex and ifDescr, then ifName read of `state`:
    its interfaces by ifIndex, those beyond InterfaceIndex's range left out."""
    served = sorted((i, n) for n, i in state["interfaces"].items() if i < 2**31)
    return ([(IF_NUMBER, f"INTEGER: {len(served)}")] +
            [(IF_INDEX + (i,), f"INTEGER: {i}") for i, _ in served] +
            [(IF_DESCR + (i,), f'STRING: "{n}"') for i, n in served],
            [(IF_NAME + (i,), f'STRING: "{n}"') for i, n in served])


def read_names(daemon):
    return walk(daemon, *V2C, root=IF_NUMBER[:-2]), walk(daemon, *V2C, root=IF_NAME)


def test_interface_names_follow_the_map(agent):
    daemon = agent().start(state=SAMPLE)
    assert read_names(daemon) == names(SAMPLE)
    # Renamed, renumbered, gone and new interfaces.
    interfaces = dict(SAMPLE["interfaces"], **{"Ethernet1/2": 7, "Ethernet4/4": 4})
    interfaces["Uplink1"] = interfaces.pop("Ethernet1/1")
    del interfaces["Ethernet9/9"]
    changed = {"interfaces": interfaces, "status": SAMPLE["status"]}
    daemon.apply(changed)
    assert read_names(daemon) == names(changed)


def test_interface_names_walk_increasing_and_whole_while_interfaces_flap(agent):
    # A flap every ms: one interface away at a time, back with a new ifIndex above all others.
    daemon = agent().start("--simulate", "300", "--sim-interval-ms", "0", "--sim-flap-ms", "1")
    stop = walker(daemon, *V2C, "-Cr20", root=IF_NAME)
    walks = [walk(daemon, *V2C, tool="snmpwalk", root=IF_NAME)] + stop()
    for n, pairs in enumerate(walks):
        assert increasing(pairs), f"walk {n}"
        assert len({value for _, value in pairs}) >= 299, f"walk {n}"


def test_subagent_leaves_system_group_and_interface_names_to_its_master(agent):
    master = agent("master")
    start_master(master)
    subagent(agent, master, state=SAMPLE).expect(CONNECTED)
    until(lambda: walk(master, *V2C), "the table never reached the master")
    values, modules = system(master)
    assert values[2] != f"OID: {dotted(AGENT_ID)}" and f"OID: {dotted(MIB)}" not in modules
    assert not any("Ethernet" in value for _, value in walk(master, *V2C, root=IF_NAME))
