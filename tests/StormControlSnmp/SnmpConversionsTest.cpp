// The storm-control MIB's enumerations to and from ASN_INTEGER values as net-snmp holds them.
#include "StormControlSnmp/SnmpConversions.h"

// Only the parts needed: net-snmp's int64.h declares its own global `U64`.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/library/snmp_api.h>
#include <net-snmp/types.h>
#include <net-snmp/varbind_api.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <string>

#include "Qel/Exception.h"

namespace {

using Bridging::StormControl::ThresholdType;
using StormControlSnmp::StormControlTCType;
using Buffer = std::array<unsigned char, 1024>;

constexpr const char* invalidTcType = "invalid value for StormControlSnmp::StormControlTCType";

/// An ASN_INTEGER variable set through net-snmp; frees what net-snmp allocated.
struct IntegerVariable {
  IntegerVariable(const void* value, int length) {
    std::memset(&var, 0, sizeof(var));
    ok = length > 0 && snmp_set_var_typed_value(&var, ASN_INTEGER,
                                                static_cast<const u_char*>(value), length) == 0;
  }
  IntegerVariable(const IntegerVariable&) = delete;
  IntegerVariable& operator=(const IntegerVariable&) = delete;
  ~IntegerVariable() { snmp_free_var_internals(&var); }

  netsnmp_variable_list var;
  bool ok;
};

/// The message of the range error decoding `value` raises; empty when it raises none.
std::string decodeError(void* value) {
  try {
    AsnIntegerToStormControlTCType(value);
  } catch (const Qel::RangeException& e) {
    return e.what();
  }
  return "";
}

// Each traffic class and threshold unit goes through net-snmp and a traffic class comes back
// as itself; a stored number that is no traffic class (above 3) or unit (above 2) is written
// as 0.
TEST(SnmpConversionsTest, RoundTrip) {
  Buffer buffer;
  for (U8 number : {0, 1, 2, 3, 4, 7, 255}) {
    buffer.fill(0xff);
    const auto tc = StormControlTCType(number);
    IntegerVariable v(buffer.data(),
                      StormControlTCTypeToAsnInteger(tc, buffer.data(), buffer.size()));
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(*v.var.val.integer, number < 4 ? number : 0) << int(number);
    EXPECT_EQ(AsnIntegerToStormControlTCType(v.var.val.integer),
              number < 4 ? tc : StormControlTCType::all);
    buffer.fill(0xff);
    IntegerVariable t(buffer.data(), StormControlThresholdTypeToAsnInteger(
                                         ThresholdType(number), buffer.data(), buffer.size()));
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(*t.var.val.integer, number < 3 ? number : 0) << int(number);
  }
}

// Numbers above 3 and every negative number are refused with the traffic class's message; a
// number beyond 32 bits (given directly: net-snmp cuts those when setting) raises the host's.
TEST(SnmpConversionsTest, DecodeRefusesOtherNumbers) {
  for (long value : {4L, -1L, -2147483648L, 2147483647L}) {
    IntegerVariable v(&value, sizeof(value));
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(decodeError(v.var.val.integer), invalidTcType) << value;
  }
  long beyond = 4294967296L;
  const std::string message = decodeError(&beyond);
  EXPECT_FALSE(message.empty());
  EXPECT_NE(message, invalidTcType);
}

// Too small a buffer, none, or a negative size fails without writing.
TEST(SnmpConversionsTest, BadBuffers) {
  Buffer buffer;
  buffer.fill(0xab);
  const auto tc = StormControlTCType::multicast;
  const auto unit = ThresholdType::kilobitsPerSecond;
  for (int size : {int(sizeof(long)) - 1, -1}) {
    EXPECT_LT(StormControlTCTypeToAsnInteger(tc, buffer.data(), size), 0) << size;
    EXPECT_LT(StormControlThresholdTypeToAsnInteger(unit, buffer.data(), size), 0) << size;
  }
  EXPECT_LT(StormControlTCTypeToAsnInteger(tc, nullptr, 1024), 0);
  EXPECT_LT(StormControlThresholdTypeToAsnInteger(unit, nullptr, 1024), 0);
  for (unsigned char byte : buffer) ASSERT_EQ(byte, 0xab);
}

}  // namespace
