// host/requests/DatagramScreen.cpp — a BER walk over the message's envelope, PDU header and names.
#include "DatagramScreen.h"

#include <array>
#include <optional>

namespace Host {
namespace {

constexpr unsigned char integerTag = 0x02;
constexpr unsigned char oidTag = 0x06;
constexpr unsigned char sequenceTag = 0x30;
constexpr unsigned char getBulkTag = 0xA5;
constexpr std::int64_t snmpV1 = 0, snmpV2c = 1, snmpV3 = 3;
constexpr std::uint64_t maxSubidentifier = 0xFFFFFFFF;

using Bytes = std::span<const unsigned char>;

struct Tlv {
  unsigned char tag = 0;
  Bytes value;
};

/// Reads consecutive TLVs from `bytes`; a malformed one ends the walk.
class BerReader {
 public:
  explicit BerReader(Bytes bytes) : rest_(bytes) {}

  std::optional<Tlv> next() {
    if (rest_.size() < 2) return std::nullopt;
    Tlv tlv{rest_[0], {}};
    std::size_t length = rest_[1];
    std::size_t header = 2;
    if (length & 0x80) {
      const std::size_t count = length & 0x7F;
      if (count == 0 || count > sizeof(std::size_t) || rest_.size() < 2 + count)
        return std::nullopt;
      length = 0;
      for (std::size_t i = 0; i < count; ++i) length = (length << 8) | rest_[2 + i];
      header += count;
    }
    if (length > rest_.size() - header) return std::nullopt;
    tlv.value = rest_.subspan(header, length);
    rest_ = rest_.subspan(header + length);
    return tlv;
  }

  /// The next TLV when it carries `tag`.
  std::optional<Tlv> next(unsigned char tag) {
    std::optional<Tlv> tlv = next();
    if (!tlv || tlv->tag != tag) return std::nullopt;
    return tlv;
  }

  bool done() const noexcept { return rest_.empty(); }

 private:
  Bytes rest_;
};

/// A two's-complement INTEGER of at most eight bytes; nullopt when longer or empty.
std::optional<std::int64_t> integerValue(Bytes value) {
  if (value.empty() || value.size() > 8) return std::nullopt;
  std::uint64_t bits = (value[0] & 0x80) ? ~std::uint64_t{0} : 0;
  for (unsigned char byte : value) bits = (bits << 8) | byte;
  return static_cast<std::int64_t>(bits);
}

bool subidentifiersFit(Bytes name) {
  std::uint64_t subidentifier = 0;
  for (unsigned char byte : name) {
    subidentifier = (subidentifier << 7) | (byte & 0x7F);
    if (subidentifier > maxSubidentifier) return false;
    if (!(byte & 0x80)) subidentifier = 0;
  }
  return true;
}

/// The PDU: request-id, error-status (or non-repeaters), error-index (or max-repetitions), and
/// the variables' names.
DatagramFault screenPdu(BerReader& message, bool v1) {
  const std::optional<Tlv> pdu = message.next();
  if (!pdu) return DatagramFault::none;
  if (v1 && pdu->tag == getBulkTag) return DatagramFault::bulkInV1;
  BerReader fields(pdu->value);
  const std::optional<Tlv> requestId = fields.next(integerTag);
  if (!requestId) return DatagramFault::none;
  const std::optional<std::int64_t> id = integerValue(requestId->value);
  if (!id || *id < INT32_MIN || *id > INT32_MAX) return DatagramFault::requestId;
  if (!fields.next(integerTag) || !fields.next(integerTag)) return DatagramFault::none;
  const std::optional<Tlv> variables = fields.next(sequenceTag);
  if (!variables) return DatagramFault::none;
  for (BerReader list(variables->value); !list.done();) {
    const std::optional<Tlv> variable = list.next(sequenceTag);
    if (!variable) return DatagramFault::none;
    const std::optional<Tlv> name = BerReader(variable->value).next(oidTag);
    if (name && !subidentifiersFit(name->value)) return DatagramFault::subidentifier;
  }
  return DatagramFault::none;
}

/// SNMPv3: header data and security parameters, then a plaintext scoped PDU (context engine,
/// context name, PDU) or an encrypted one, which is left to net-snmp.
DatagramFault screenV3(BerReader& message) {
  if (!message.next() || !message.next()) return DatagramFault::none;
  const std::optional<Tlv> scoped = message.next(sequenceTag);
  if (!scoped) return DatagramFault::none;
  BerReader fields(scoped->value);
  if (!fields.next() || !fields.next()) return DatagramFault::none;
  return screenPdu(fields, false);
}

}  // namespace

std::string_view datagramFaultName(DatagramFault fault) {
  static constexpr std::array<std::string_view, datagramFaultCount> names{
      "none", "version", "bulkInV1", "requestId", "subidentifier"};
  return names[static_cast<std::size_t>(fault)];
}

DatagramFault screenDatagram(Bytes datagram) {
  const std::optional<Tlv> envelope = BerReader(datagram).next(sequenceTag);
  if (!envelope) return DatagramFault::none;
  BerReader message(envelope->value);
  const std::optional<Tlv> versionField = message.next(integerTag);
  if (!versionField) return DatagramFault::none;
  const std::optional<std::int64_t> version = integerValue(versionField->value);
  if (!version || (*version != snmpV1 && *version != snmpV2c && *version != snmpV3)) {
    return DatagramFault::version;
  }
  if (*version == snmpV3) return screenV3(message);
  if (!message.next()) return DatagramFault::none;  // the community
  return screenPdu(message, *version == snmpV1);
}

}  // namespace Host
