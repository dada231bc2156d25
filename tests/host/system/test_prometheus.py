# tests/host/system/test_prometheus.py — the daemon graphed and alerted on through Debian's SNMP
# exporter and Prometheus, with the files in prometheus/: the exporter's metrics hold what snmpget
# reads, rows labelled with the interfaces' names; Prometheus rates a storming interface's drops
# and fires the dropping alert (from a copy of the rules whose minutes are seconds). Everything
# runs on loopback ports of its own; the two servers are killed however the test ends.
import json
import re
import urllib.parse
import urllib.request
from pathlib import Path

import pytest
import yaml

from conftest import Daemon, until
from snmp import ENTRY, SAMPLE, V2C, ask, dotted, rows

ROOT = Path(__file__).resolve().parents[3]
SHIPPED = ROOT / "prometheus"
# The MIB module loaded for the units' names; -Ir lets ifIndexes past InterfaceIndex's range
# through, -OU leaves out the drops' units.
MIB_OPTS = (f"-M+{ROOT / 'mibs'}:{ROOT / 'node_modules' / 'net-snmp' / 'lib' / 'mibs'}",
            "-mBRELTA-STORM-CONTROL-MIB", "-Ir", "-OU")
SYS_UP_TIME = (1, 3, 6, 1, 2, 1, 1, 3, 0)
COLUMNS = {"breltaStormControlIfThresholdLevel": 2, "breltaStormControlIfThresholdUnits_info": 3,
           "breltaStormControlIfDrops": 4}
SAMPLE_LINE = re.compile(r'(\w+)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')
# The exporter wraps Counter64 values around at 2^53, where a double is still exact (its
# --snmp.wrap-large-counters default), so that a rate sees a wrap as a counter reset.
WRAP = 2**53
PROMETHEUS_S = 45.0  # from the start to a firing alert, on a loaded machine


@pytest.fixture
def servers(tmp_path):
    """Makes the exporter and Prometheus in folders of `tmp_path`; kills them however the test
    ends (the exporter ends on SIGTERM by the signal, so no clean exit is asked of them)."""
    made = []

    def make(name):
        made.append(Daemon(tmp_path / name))
        return made[-1]

    yield make
    for server in made:
        server.kill()


def get(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read().decode()


def exporter(make):
    """Debian's SNMP exporter with the shipped snmp.yml, on a free loopback port."""
    server = make("exporter")
    return server.launch(lambda: [f"--config.file={SHIPPED / 'snmp.yml'}",
                                  f"--web.listen-address=127.0.0.1:{server.port}"],
                         "Listening on", "/usr/bin/prometheus-snmp-exporter")


def scrape(server, agent):
    """The exporter's samples for the agent: (name, labels, value), its own figures left out."""
    target = urllib.parse.quote(f"127.0.0.1:{agent.port}")
    text = get(f"http://127.0.0.1:{server.port}/snmp?module=stormcontrol&target={target}")
    samples = [SAMPLE_LINE.match(line).groups() for line in text.splitlines()
               if line and not line.startswith(("#", "snmp_scrape_"))]
    return [(name, dict(LABEL.findall(labels or "")), float(value))
            for name, labels, value in samples]


def value(text):
    """A value as snmpget prints it: a number, or (with the MIB loaded) an enumeration's name."""
    shown = text.split(": ", 1)[1]
    if shown.startswith("("):  # Timeticks: (hundredths) d:hh:mm:ss
        return int(shown[1:shown.index(")")])
    return re.sub(r"\(\d+\)$", "", shown) if shown.endswith(")") else int(shown)


def test_exporter_metrics_are_the_agents_values_labelled_with_interface_names(agent, servers):
    served = agent().start(state=SAMPLE)
    server = exporter(servers)
    uptimes = [ask(served, "snmpget", *V2C, dotted(SYS_UP_TIME))[0][1]]
    samples = scrape(server, served)
    uptimes.append(ask(served, "snmpget", *V2C, dotted(SYS_UP_TIME))[0][1])

    # Every row of each column.
    table = [(n, l, v) for n, l, v in samples if n in COLUMNS]
    indexes = sorted((int(l["ifIndex"]), int(l["breltaStormControlIfTrafficClass"]))
                     for _, l, _ in table)
    assert indexes == sorted(r[:2] for r in rows(SAMPLE) for _ in COLUMNS)

    # Each value (the units by name) as snmpget reads it, Counter64s wrapped; each row named as
    # the state file names its ifIndex, unless IF-MIB has no room for it (2^31 and more).
    oids = [ENTRY + (COLUMNS[n], int(l["ifIndex"]), int(l["breltaStormControlIfTrafficClass"]))
            for n, l, _ in table]
    read = [value(v) for _, v in ask(served, "snmpget", *V2C, *MIB_OPTS, *map(dotted, oids))]
    read = [r % WRAP if isinstance(r, int) else r for r in read]
    shown = [l["breltaStormControlIfThresholdUnits"] if n.endswith("_info") else v
             for n, l, v in table]
    assert shown == read
    names = {i: n if i < 2**31 else "" for n, i in SAMPLE["interfaces"].items()}
    assert {(l["ifIndex"], l["ifName"]) for _, l, _ in table} == {
        (str(i), names[i]) for i, _ in indexes}

    # Nothing else but the uptime, read between the agent's before and after.
    assert [n for n, _, _ in samples if n not in COLUMNS] == ["sysUpTime"], uptimes
    before, after = map(value, uptimes)
    assert before <= next(v for n, _, v in samples if n == "sysUpTime") <= after


def shortened(text):
    """The shipped rules with every window's minutes made seconds."""
    rules = yaml.safe_load(text)
    for rule in (r for group in rules["groups"] for r in group["rules"]):
        rule["expr"] = re.sub(r"\[(\d+)m\]", r"[\1s]", rule["expr"])
        rule["for"] = re.sub(r"^(\d+)m$", r"\1s", rule["for"])
    return yaml.safe_dump(rules)


def configured(text, agent, server, rules):
    """The shipped example job scraping the agent through `server` every second, with `rules`."""
    config = yaml.safe_load(text)
    config["global"] = {"scrape_interval": "1s", "evaluation_interval": "1s"}
    config["rule_files"] = [str(rules)]
    (job,) = config["scrape_configs"]
    job["static_configs"] = [{"targets": [f"127.0.0.1:{agent.port}"]}]
    (address,) = [r for r in job["relabel_configs"] if r["target_label"] == "__address__"]
    address["replacement"] = f"127.0.0.1:{server.port}"
    return yaml.safe_dump(config)


def query(server, promql):
    """The instant vector Prometheus answers for `promql`."""
    answer = json.loads(get(f"http://127.0.0.1:{server.port}/api/v1/query?"
                            + urllib.parse.urlencode({"query": promql})))
    assert answer["status"] == "success", answer
    return answer["data"]["result"]


def test_prometheus_rates_a_storm_and_fires_the_dropping_alert(agent, servers):
    served = agent().start("--simulate", "4", "--sim-interval-ms", "100")
    server = exporter(servers)
    prometheus = servers("prometheus")
    (prometheus.dir / "rules.yml").write_text(shortened((SHIPPED / "rules.yml").read_text()))
    (prometheus.dir / "prometheus.yml").write_text(configured(
        (SHIPPED / "prometheus.yml").read_text(), served, server, prometheus.dir / "rules.yml"))
    prometheus.launch(lambda: ["--config.file=prometheus.yml", "--storage.tsdb.path=data",
                               f"--web.listen-address=127.0.0.1:{prometheus.port}"],
                      "Server is ready to receive web requests", "/usr/bin/prometheus")

    # The simulator's Ethernet1/2 (ifIndex 1002) drops packets of class all in each storm.
    storming = 'ifIndex="1002",breltaStormControlIfTrafficClass="all"'
    (rate,) = until(lambda: [r for r in query(
        prometheus, f"rate(breltaStormControlIfDrops{{{storming}}}[5s])")
        if float(r["value"][1]) > 0], "no rate above 0", PROMETHEUS_S, 0.2)
    assert rate["metric"].get("ifName") == "Ethernet1/2", rate

    alerts = until(lambda: [a["metric"] for a in query(
        prometheus, 'ALERTS{alertname="StormControlDropping",alertstate="firing"}')],
        "no dropping alert fired", PROMETHEUS_S, 0.2)
    fired = {(a["ifIndex"], a.get("ifName"), a["breltaStormControlIfTrafficClass"])
             for a in alerts}
    assert ("1002", "Ethernet1/2", "all") in fired
