# tests/host/system/test_hostile_requests.py — datagrams no client would send: the daemon
# answers within the manager's and the transport's size limits, drops what it must not answer,
# keeps its log short, and answers the next request at once.
import random

import pytest

import wire

TABLE = "1.3.6.1.4.1.32473.3.35.1.1"
FIRST, DROPS = TABLE + ".1.2.1001.0", TABLE + ".1.4"  # FIRST: the simulated table's first cell
ENGINE_ID = "1.3.6.1.6.3.10.2.1.1.0"
CONFIG = ("rocommunity public 127.0.0.1\ncreateUser guest\nrouser guest noauth\n"
          "createUser signer SHA signerpassword\nrouser signer auth\n")
# Requests net-snmp would misread, by the name the daemon logs when it drops them.
MISREAD = {
    # 2^64 + 1001 wraps around to 1001 in net-snmp: the answer would be for another row.
    "subidentifier": wire.v2c(wire.GET, [TABLE + f".1.4.{2**64 + 1001}.0"]),
    "version": wire.v2c(wire.GET, [ENGINE_ID], version=2**40),
    "bulkInV1": wire.v2c(wire.GETBULK, [TABLE], 0, 5, version=0),
    "requestId": wire.v2c(wire.GET, [ENGINE_ID], request_id=2**40)}


@pytest.fixture
def daemon(agent):
    return agent().start(conf=CONFIG)


@pytest.fixture
def manager(daemon):
    yield (m := wire.Manager(daemon.port))
    m.close()


def still_answers(manager):
    """The agent answers a GET within a manager's usual retries: after a flood, the first
    requests may find the agent's socket buffer full."""
    answers = (manager.ask(wire.v2c(wire.GET, [ENGINE_ID], request_id=99), 3) for _ in range(5))
    answer = next((a for a in answers if a), None)
    return answer is not None and answer.varbinds[0][0] == ENGINE_ID


def names(answer):
    return [oid for oid, _, _ in answer.varbinds]


def test_getbulk_answers_fit_the_smaller_of_both_limits(manager):
    engine = manager.discover()
    for max_size in (484, 485, 600, 1000, 1472, 4096, 65507):
        for repetitions in (1, 20, 100, 5000):
            request = wire.pdu(wire.GETBULK, 7, [TABLE], 0, repetitions)
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
    assert still_answers(manager)


def test_too_big_answers_are_tooBig_without_variables_and_logged_once(daemon, manager):
    for request_id in range(3):
        answer = manager.ask(wire.v2c(wire.GETNEXT, [DROPS] * 3000, request_id=request_id))
        assert answer is not None, "no answer: the manager would retry for ever"
        assert (answer.error_status, answer.error_index, answer.varbinds) == (wire.TOO_BIG, 0, [])
    assert still_answers(manager)
    assert daemon.log_count("answered tooBig") == 1, daemon.log()
    assert "tooBig=3" in daemon.report("tooBig=")


@pytest.mark.parametrize("name", MISREAD)
def test_requests_net_snmp_would_misread_are_dropped(daemon, manager, name):
    for _ in range(3):
        assert manager.ask(MISREAD[name], timeout=1) is None
    assert still_answers(manager)
    assert daemon.log_count(f"dropped a request: {name}") == 1, daemon.log()


def test_a_flood_of_malformed_datagrams_leaves_a_short_log(daemon, manager):
    engine, get = manager.discover(), wire.pdu(wire.GET, 7, [TABLE])
    # The last claims authentication with a wrong digest: net-snmp logs each one.
    seeds = [wire.v2c(wire.GETBULK, [TABLE], 0, 5), wire.v3_message(get, b"guest", engine),
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
