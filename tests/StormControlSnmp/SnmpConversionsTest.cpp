// The storm-control MIB's enumerations to and from ASN_INTEGER values as net-snmp holds them.
#include "StormControlSnmp/SnmpConversions.h"

// Only the parts needed: net-snmp's int64.h declares its own global `U64`.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/library/snmp_api.h>
#include <net-snmp/types.h>
#include <net-snmp/varbind_api.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "Qel/Exception.h"

namespace {

using Bridging::StormControl::ThresholdType;
using TC = StormControlSnmp::StormControlTCType;

/// The INTEGER net-snmp holds for `value` encoded into a buffer of 0xff, or -99 when refused.
template <class T>
long throughNetSnmp(int (*encode)(const T&, unsigned char*, int), T value) {
  std::array<unsigned char, 1024> buffer;
  buffer.fill(0xff);
  const int length = encode(value, buffer.data(), int{buffer.size()});
  netsnmp_variable_list var{};
  const bool ok = length > 0 && !snmp_set_var_typed_value(&var, ASN_INTEGER, buffer.data(), length);
  const long out = ok ? *var.val.integer : -99;
  snmp_free_var_internals(&var);
  return out;
}

/// The message of the range error decoding `value` raises; empty when it raises none.
std::string decodeError(long value) {
  try {
    AsnIntegerToStormControlTCType(&value);
  } catch (const Qel::RangeException& e) {
    return e.what();
  }
  return "";
}

// A stored number goes through net-snmp as itself when it is a traffic class (0 to 3) or a
// unit (0 to 2), else as 0; a traffic class comes back as itself.
TEST(SnmpConversionsTest, RoundTrip) {
  for (U8 n : {0, 1, 2, 3, 4, 7, 255}) {
    long tc = throughNetSnmp(StormControlTCTypeToAsnInteger, TC(n));
    EXPECT_EQ(tc, n < 4 ? n : 0) << int{n};
    EXPECT_EQ(AsnIntegerToStormControlTCType(&tc), n < 4 ? TC(n) : TC::all);
    EXPECT_EQ(throughNetSnmp(StormControlThresholdTypeToAsnInteger, ThresholdType(n)),
              n < 3 ? n : 0)
        << int{n};
  }
}

// Decoding refuses numbers above 3 and negative ones with the traffic class's message, and one
// beyond 32 bits with the host's; encoding into too small a buffer, none, or a negative size
// fails without writing.
TEST(SnmpConversionsTest, Refusals) {
  const std::string invalid = "invalid value for StormControlSnmp::StormControlTCType";
  for (long value : {4L, -1L, -2147483648L, 2147483647L}) EXPECT_EQ(decodeError(value), invalid);
  const std::string wide = decodeError(4294967296L);
  EXPECT_TRUE(wide != invalid && !wide.empty()) << wide;
  std::array<unsigned char, 16> buffer;
  buffer.fill(0xab);
  for (auto [data, size] : {std::pair{buffer.data(), int{sizeof(long)} - 1},
                            std::pair{buffer.data(), -1}, std::pair{(unsigned char*)nullptr, 16}}) {
    EXPECT_LT(StormControlTCTypeToAsnInteger(TC::multicast, data, size), 0) << size;
    EXPECT_LT(StormControlThresholdTypeToAsnInteger(ThresholdType::percentage, data, size), 0);
  }
  for (unsigned char byte : buffer) ASSERT_EQ(byte, 0xab);
}

}  // namespace
