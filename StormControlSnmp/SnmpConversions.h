// StormControlSnmp/SnmpConversions.h — SNMP value conversions of the storm-control MIB's
// enumerations.
///
/// Encoders write the enumeration's number as an ASN_INTEGER value through the host's
/// `S32ToAsnIntegerF` and return its result: the length written, or a negative number on
/// failure. A stored number outside the enumeration is written as 0. A negative `size` is
/// refused with a negative result (widened, it would read as a huge buffer).
/// The decoder reads an index variable's ASN_INTEGER value and accepts only the enumerators.
#pragma once

#include "Bridging/Threshold.h"
#include "StormControlSnmp/StormControlSnmp.h"

/// The number a traffic class goes on the wire as: its enumerator's, or 0 for a stored number
/// outside the enumeration.
inline long StormControlTCTypeNumber(StormControlSnmp::StormControlTCType value) {
  const U8 number = static_cast<U8>(value);
  return number < StormControlSnmp::stormControlTCTypeCount ? number : 0;
}

/// The traffic class at `value`; `Qel::RangeException` for a number that is no traffic class
/// (the host's own range error when it does not even fit 32 bits).
StormControlSnmp::StormControlTCType AsnIntegerToStormControlTCType(void* value);

int StormControlThresholdTypeToAsnInteger(const Bridging::StormControl::ThresholdType& value,
                                          unsigned char* buffer, int size);
