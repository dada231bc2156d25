// StormControlSnmp/SnmpConversions.cpp — the MIB's enumerations to and from ASN_INTEGER.
#include "StormControlSnmp/SnmpConversions.h"

#include "Qel/Exception.h"
#include "Snmp/AsnConversions.h"

namespace {

using Bridging::StormControl::ThresholdType;

/// The number of threshold units: one past the last enumerator.
constexpr U8 thresholdTypeCount = static_cast<U8>(ThresholdType::kilobitsPerSecond) + 1;

/// Encodes `number`, or 0 when it is `limit` or more.
int enumToAsnInteger(U8 number, U8 limit, unsigned char* buffer, int size) {
  if (size < 0) return -1;
  const int encoded = number < limit ? number : 0;
  return S32ToAsnIntegerF()(encoded, buffer, static_cast<unsigned long>(size));
}

}  // namespace

StormControlSnmp::StormControlTCType AsnIntegerToStormControlTCType(void* value) {
  const S32 number = AsnIntegerToS32(value);
  if (static_cast<U32>(number) >= StormControlSnmp::stormControlTCTypeCount) {
    throw Qel::RangeException("invalid value for StormControlSnmp::StormControlTCType");
  }
  return static_cast<StormControlSnmp::StormControlTCType>(number);
}

int StormControlThresholdTypeToAsnInteger(const ThresholdType& value, unsigned char* buffer,
                                          int size) {
  return enumToAsnInteger(static_cast<U8>(value), thresholdTypeCount, buffer, size);
}
