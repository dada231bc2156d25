# tests/host/system/wire.py — SNMP messages built and read byte by byte, for datagrams no
# well-behaved client would send: any version, request-id, msgMaxSize, repetition count or
# sub-identifier, and answers read back without a client library's repairs.
import socket
import struct
from dataclasses import dataclass, field

GET, GETNEXT, RESPONSE, SET, GETBULK, REPORT = 0xA0, 0xA1, 0xA2, 0xA3, 0xA5, 0xA8
INTEGER, OCTETS, NULL, OID, SEQUENCE = 0x02, 0x04, 0x05, 0x06, 0x30
NO_ERROR, TOO_BIG = 0, 1
END_OF_MIB_VIEW = 0x82
UDP_LIMIT = 65507


def length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, body):
    return bytes([tag]) + length(len(body)) + body


def integer(value, tag=INTEGER):
    """Two's complement, as short as it goes; any size, so out-of-range values can be sent."""
    n = 1
    while not -(1 << (8 * n - 1)) <= value < (1 << (8 * n - 1)):
        n += 1
    return tlv(tag, value.to_bytes(n, "big", signed=True))


def subid(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def oid(text):
    arcs = [int(a) for a in text.strip(".").split(".")]
    return tlv(OID, bytes([40 * arcs[0] + arcs[1]]) + b"".join(subid(a) for a in arcs[2:]))


def octets(data):
    return tlv(OCTETS, data if isinstance(data, bytes) else data.encode())


def varbinds(names):
    return tlv(SEQUENCE, b"".join(tlv(SEQUENCE, oid(n) + tlv(NULL, b"")) for n in names))


def pdu(tag, request_id, names, a=0, b=0):
    """A PDU; `a` and `b` are error-status and error-index, or non-repeaters and
    max-repetitions for GETBULK."""
    return tlv(tag, integer(request_id) + integer(a) + integer(b) + varbinds(names))


def community_message(pdu_bytes, community="public", version=1):
    return tlv(SEQUENCE, integer(version) + octets(community) + pdu_bytes)


def v3_message(pdu_bytes, user=b"", engine_id=b"", boots=0, time_=0, msg_id=1,
               max_size=UDP_LIMIT, flags=0x04):
    """An SNMPv3 message without authentication or privacy (flags: reportable)."""
    header = tlv(SEQUENCE, integer(msg_id) + integer(max_size) + octets(bytes([flags])) +
                 integer(3))
    usm = tlv(SEQUENCE, octets(engine_id) + integer(boots) + integer(time_) +
              octets(user) + octets(b"") + octets(b""))
    scoped = tlv(SEQUENCE, octets(engine_id) + octets(b"") + pdu_bytes)
    return tlv(SEQUENCE, integer(3) + header + octets(usm) + scoped)


# --- reading -------------------------------------------------------------------------------

def read_tlv(data, pos):
    tag = data[pos]
    n = data[pos + 1]
    pos += 2
    if n & 0x80:
        count = n & 0x7F
        n = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    return tag, data[pos:pos + n], pos + n


def children(body):
    pos, out = 0, []
    while pos < len(body):
        tag, value, pos = read_tlv(body, pos)
        out.append((tag, value))
    return out


def read_oid(body):
    arcs = [body[0] // 40, body[0] % 40]
    value = 0
    for byte in body[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    return ".".join(map(str, arcs))


@dataclass
class Answer:
    tag: int
    request_id: int
    error_status: int
    error_index: int
    varbinds: list = field(default_factory=list)  # (oid text, value tag, value bytes)
    size: int = 0
    engine: tuple = ()  # SNMPv3: (engine id, boots, time)


def pdu_of(datagram):
    """The PDU's tag and body of a message with a plaintext PDU."""
    _, message, _ = read_tlv(datagram, 0)
    parts = children(message)
    if int.from_bytes(parts[0][1], "big", signed=True) == 3:
        return children(parts[3][1])[2]
    return parts[2]


def parse_request_id(datagram):
    return int.from_bytes(children(pdu_of(datagram)[1])[0][1], "big", signed=True)


def parse(datagram):
    _, message, _ = read_tlv(datagram, 0)
    parts = children(message)
    engine = ()
    if int.from_bytes(parts[0][1], "big", signed=True) == 3:
        usm = children(read_tlv(parts[2][1], 0)[1])
        engine = (usm[0][1], int.from_bytes(usm[1][1], "big"), int.from_bytes(usm[2][1], "big"))
    tag, body = pdu_of(datagram)
    fields = children(body)
    ints = [int.from_bytes(f[1], "big", signed=True) for f in fields[:3]]
    vbs = []
    for _, vb in children(fields[3][1]):
        (_, name), (vtag, value) = children(vb)
        vbs.append((read_oid(name), vtag, value))
    return Answer(tag, *ints, vbs, len(datagram), engine)


class Manager:
    """A UDP socket that sends datagrams to the agent and reads its answers."""

    def __init__(self, port, host="127.0.0.1", family=socket.AF_INET):
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        self.sock.connect((host, port))

    def close(self):
        self.sock.close()

    def send(self, datagram):
        self.sock.send(datagram)

    def receive(self, timeout=5.0):
        """The next answer's bytes, or None when none comes in time."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(1 << 17)
        except socket.timeout:
            return None

    def ask(self, datagram, timeout=5.0):
        """Sends and parses the answer with the same request-id, skipping older answers; None
        when none comes in time."""
        self.send(datagram)
        request_id = parse_request_id(datagram)
        while (data := self.receive(timeout)) is not None:
            answer = parse(data)
            if answer.request_id == request_id:
                return answer
        return None

    def discover(self):
        """SNMPv3 engine discovery: (engine id, boots, time) from the agent's report."""
        answer = self.ask(v3_message(pdu(GET, 1, []), msg_id=1))
        assert answer and answer.tag == REPORT, answer
        return answer.engine
