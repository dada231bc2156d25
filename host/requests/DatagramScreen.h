// host/requests/DatagramScreen.h — drops the SNMP messages that net-snmp would answer for something
// else.
///
/// net-snmp 5.9 reads a few messages that RFC 3416 and RFC 3412 say to drop, and answers them as
/// if they were others: a version that does not fit an int is read as SNMPv1, a GETBULK inside an
/// SNMPv1 message is served, a request-id outside INTEGER's range is echoed truncated, and a
/// sub-identifier of 2^64 or more wraps around (those from 2^32 up it refuses itself), so the
/// manager is answered for another OID. `screenDatagram` walks the message's BER structure in
/// place (no copy, no allocation) and names the first such fault. Anything else, including
/// messages net-snmp refuses on its own, passes unchanged. An encrypted scoped PDU cannot be read
/// before net-snmp decrypts it, so its request-id and names are not screened: its sender holds
/// the privacy key.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace Host {

enum class DatagramFault : std::uint8_t {
  none,
  version,        // not 0, 1 or 3
  bulkInV1,       // a GETBULK in an SNMPv1 message
  requestId,      // outside -2^31 .. 2^31-1
  subidentifier,  // a sub-identifier of a variable's name above 2^32-1
};
inline constexpr std::size_t datagramFaultCount = 5;

/// The fault's name in the log and the SIGUSR1 report.
std::string_view datagramFaultName(DatagramFault fault);

/// The first fault of `message`, a received datagram; `none` when it may go on to net-snmp.
DatagramFault screenDatagram(std::span<const unsigned char> message);

}  // namespace Host
