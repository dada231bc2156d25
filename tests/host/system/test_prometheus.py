# tests/host/system/test_prometheus.py — the daemon through Debian's SNMP exporter and Prometheus
# with the files of prometheus/, on loopback ports of their own; both are killed however a test
# ends (the exporter ends on SIGTERM by the signal, so no clean exit is asked of them).
import json
import re
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

from conftest import Daemon, until
from snmp import ENTRY, SAMPLE, V2C, dotted, rows

SHIPPED = Path(__file__).resolve().parents[3] / "prometheus"
# snmpget's options: the MIB module for the units' names, -Ir for ifIndexes past InterfaceIndex,
# one bare value a line (Timeticks in hundredths).
GET = (*V2C, f"-M+{SHIPPED.parent / 'mibs'}:{SHIPPED.parent / 'node_modules/net-snmp/lib/mibs'}",
       "-mBRELTA-STORM-CONTROL-MIB", "-Ir", "-OUqvt")
COLUMNS = {"breltaStormControlIfThresholdLevel": 2, "breltaStormControlIfThresholdUnits_info": 3,
           "breltaStormControlIfDrops": 4}
SAMPLE_LINE = re.compile(r'(\w+)(?:\{(.*)\})? (\S+)$')
WRAP = 2**53  # the exporter wraps Counter64s there, where a double is still exact


@pytest.fixture
def servers(tmp_path):
    made = []
    yield lambda name: made.append(Daemon(tmp_path / name)) or made[-1]
    for server in made:
        server.kill()


def get(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read().decode()


def exporter(make):
    server = make("exporter")
    return server.launch(lambda: [f"--config.file={SHIPPED / 'snmp.yml'}",
                                  f"--web.listen-address=127.0.0.1:{server.port}"],
                         "Listening on", "/usr/bin/prometheus-snmp-exporter")


def snmpget(agent, *oids):
    """The values snmpget reads: numbers, or the units by name."""
    result = agent.client("snmpget", *GET, *map(dotted, oids))
    assert result.returncode == 0 and not result.stderr, result
    return [int(v) if v.isdigit() else v for v in result.stdout.splitlines()]


def test_exporter_metrics_are_the_agents_values_labelled_with_interface_names(agent, servers):
    served, uptime = agent().start(state=SAMPLE), (1, 3, 6, 1, 2, 1, 1, 3, 0)
    target = urllib.parse.quote(f"127.0.0.1:{served.port}")
    before = snmpget(served, uptime)
    server = exporter(servers)
    text = get(f"http://127.0.0.1:{server.port}/snmp?module=stormcontrol&target={target}")
    after = snmpget(served, uptime)
    samples = [(n, dict(re.findall(r'(\w+)="([^"]*)"', l or "")), float(v)) for n, l, v in (
        SAMPLE_LINE.match(line).groups() for line in text.splitlines() if line[0] != "#")
        if not n.startswith("snmp_scrape_")]

    # Every row of each column, each value as snmpget reads it (Counter64s wrapped), each row
    # named as the state file names its ifIndex unless IF-MIB has no room for it (2^31 and more).
    table = [(n, l, v) for n, l, v in samples if n in COLUMNS]
    index = [(int(l["ifIndex"]), int(l["breltaStormControlIfTrafficClass"])) for _, l, _ in table]
    assert sorted(index) == sorted(r[:2] for r in rows(SAMPLE) for _ in COLUMNS)
    read = snmpget(served, *(ENTRY + (COLUMNS[n],) + i for (n, _, _), i in zip(table, index)))
    assert [l["breltaStormControlIfThresholdUnits"] if n.endswith("_info") else v
            for n, l, v in table] == [r % WRAP if isinstance(r, int) else r for r in read]
    names = {i: n if i < 2**31 else "" for n, i in SAMPLE["interfaces"].items()}
    assert all(l["ifName"] == names[i] for (_, l, _), (i, _) in zip(table, index))
    assert [(n, before[0] <= v <= after[0]) for n, _, v in samples if n not in COLUMNS] == [
        ("sysUpTime", True)]


def test_prometheus_rates_a_storm_and_fires_the_dropping_alert(agent, servers):
    served = agent().start("--simulate", "4", "--sim-interval-ms", "100")
    server, prometheus = exporter(servers), servers("prometheus")
    # The shipped rules with every window's minutes made seconds, and the shipped example job
    # scraping the agent through the exporter every second.
    rules = re.sub(r"(\[|for: )(\d+)m\b", r"\1\2s", (SHIPPED / "rules.yml").read_text())
    (prometheus.dir / "rules.yml").write_text(rules)
    config = (SHIPPED / "prometheus.yml").read_text()
    for old, new in (("30s", "1s"), ("/usr/share/stormcontrol-agent/prometheus/", ""),
                     ("switch1.example.org:161", f"127.0.0.1:{served.port}"),
                     ("127.0.0.1:9116", f"127.0.0.1:{server.port}")):
        assert old in config, old
        config = config.replace(old, new)
    (prometheus.dir / "prometheus.yml").write_text(config)
    prometheus.launch(lambda: ["--config.file=prometheus.yml", "--storage.tsdb.path=data",
                               f"--web.listen-address=127.0.0.1:{prometheus.port}"],
                      "Server is ready to receive web requests", "/usr/bin/prometheus")

    def query(promql):
        answer = json.loads(get(f"http://127.0.0.1:{prometheus.port}/api/v1/query?"
                                + urllib.parse.urlencode({"query": promql})))
        return [(r["metric"], float(r["value"][1])) for r in answer["data"]["result"]]

    # The simulator's Ethernet1/2 (ifIndex 1002) drops packets of class all in each storm.
    row = 'ifIndex="1002",breltaStormControlIfTrafficClass="all"'
    (rate,) = until(lambda: [m for m, v in query(f"rate(breltaStormControlIfDrops{{{row}}}[5s])")
                             if v > 0], "no rate above 0", 45.0, 0.2)
    assert rate["ifName"] == "Ethernet1/2"
    until(lambda: query(f'ALERTS{{alertname="StormControlDropping",alertstate="firing",{row},'
                        'ifName="Ethernet1/2"}'), "no dropping alert fired", 45.0, 0.2)
