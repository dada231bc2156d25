# tests/host/system/wire.py — SNMP messages built and read byte by byte, for datagrams no
# well-behaved client would send: any version, request-id, msgMaxSize, repetition count or
# sub-identifier, and answers read back without a client library's repairs.
import contextlib
import socket
from collections import namedtuple
from functools import partial

GET, GETNEXT, GETBULK, REPORT = 0xA0, 0xA1, 0xA5, 0xA8
INTEGER, OCTETS, NULL, OID, SEQUENCE = 0x02, 0x04, 0x05, 0x06, 0x30
NO_ERROR, TOO_BIG, UDP_LIMIT = 0, 1, 65507
number = partial(int.from_bytes, byteorder="big", signed=True)  # of an INTEGER's content


def tlv(tag, *parts):
    body = b"".join(parts)
    n, long = len(body), (len(body).bit_length() + 7) // 8
    return bytes([tag]) + (bytes([n]) if n < 0x80 else bytes([0x80 | long]) +
                           n.to_bytes(long, "big")) + body


def integer(value):
    """Two's complement, as short as it goes; any size, so out-of-range values can be sent."""
    n = (value if value >= 0 else ~value).bit_length() // 8 + 1
    return tlv(INTEGER, value.to_bytes(n, "big", signed=True))


def oid(text):
    """Sub-identifiers of any size: 7 bits a byte, bit 8 set in all bytes but the last."""
    arcs = [int(a) for a in text.strip(".").split(".")]
    body = [40 * arcs[0] + arcs[1]]
    for a in arcs[2:]:
        body += [a >> 7 * k & 0x7F | 0x80 for k in range((a.bit_length() - 1) // 7, 0, -1)]
        body.append(a & 0x7F)
    return tlv(OID, bytes(body))


def pdu(tag, request_id, names, a=0, b=0):
    """A PDU; `a`, `b`: error-status and -index, or GETBULK's non-repeaters and max-repetitions."""
    binds = [tlv(SEQUENCE, oid(n), tlv(NULL)) for n in names]
    return tlv(tag, integer(request_id), integer(a), integer(b), tlv(SEQUENCE, *binds))


def v2c(tag, names, a=0, b=0, request_id=1, version=1):
    """A message of community public, SNMPv2c unless `version` says otherwise."""
    return tlv(SEQUENCE, integer(version), tlv(OCTETS, b"public"),
               pdu(tag, request_id, names, a, b))


def v3_message(pdu_bytes, user=b"", engine=(b"", 0, 0), max_size=UDP_LIMIT, flags=0x04):
    """An SNMPv3 message without privacy (flags: reportable) for `engine` (id, boots, time)."""
    header = tlv(SEQUENCE, integer(1), integer(max_size), tlv(OCTETS, bytes([flags])), integer(3))
    usm = tlv(SEQUENCE, tlv(OCTETS, engine[0]), integer(engine[1]), integer(engine[2]),
              tlv(OCTETS, user), tlv(OCTETS), tlv(OCTETS))
    scoped = tlv(SEQUENCE, tlv(OCTETS, engine[0]), tlv(OCTETS), pdu_bytes)
    return tlv(SEQUENCE, integer(3), header, tlv(OCTETS, usm), scoped)


def children(body):
    """The (tag, value) of each TLV in `body`."""
    pos, out = 0, []
    while pos < len(body):
        tag, n, pos = body[pos], body[pos + 1], pos + 2
        if n & 0x80:
            n, pos = int.from_bytes(body[pos:pos + (n & 0x7F)], "big"), pos + (n & 0x7F)
        out.append((tag, body[pos:pos + n]))
        pos += n
    return out


def read_oid(body):
    arcs, value = [body[0] // 40, body[0] % 40], 0
    for byte in body[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    return ".".join(map(str, arcs))


# A message read back: varbinds as (OID text, tag, value bytes), engine (id, boots, time) if v3.
Answer = namedtuple("Answer", "tag request_id error_status error_index varbinds size engine")


def parse(datagram):
    """A message with a plaintext PDU, request or answer."""
    parts = children(children(datagram)[0][1])
    engine, (tag, body) = (), parts[2]
    if number(parts[0][1]) == 3:
        usm = children(children(parts[2][1])[0][1])
        engine = (usm[0][1], number(usm[1][1]), number(usm[2][1]))
        tag, body = children(parts[3][1])[2]
    fields = children(body)
    vbs = [(read_oid(name), vtag, value) for (_, name), (vtag, value) in
           (children(vb) for _, vb in children(fields[3][1]))]
    return Answer(tag, *(number(f[1]) for f in fields[:3]), vbs, len(datagram), engine)


class Manager:
    """A UDP socket that sends datagrams to the agent and reads its answers."""

    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.connect(("127.0.0.1", port))
        self.send, self.close = self.sock.send, self.sock.close

    def ask(self, datagram, timeout=5.0):
        """Sends; the answer with the same request-id (older ones skipped), None if none in time."""
        self.send(datagram)
        self.sock.settimeout(timeout)
        wanted = parse(datagram).request_id
        with contextlib.suppress(socket.timeout):
            while (answer := parse(self.sock.recv(1 << 17))).request_id != wanted:
                pass
            return answer

    def discover(self):
        """SNMPv3 engine discovery: (engine id, boots, time) from the agent's report."""
        answer = self.ask(v3_message(pdu(GET, 1, [])))
        assert answer and answer.tag == REPORT, answer
        return answer.engine
