// The host's number encoders and decoder against net-snmp's own value handling.
#include "Snmp/AsnConversions.h"

// Only the parts needed: net-snmp's int64.h declares its own global `U64`.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/library/snmp_api.h>
#include <net-snmp/types.h>
#include <net-snmp/varbind_api.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>

#include "Qel/Exception.h"

namespace {

using Limits = std::numeric_limits<int>;

/// A variable set through net-snmp from what an encoder wrote; frees what net-snmp allocated.
struct Variable {
  Variable(u_char type, const void* value, int length) {
    std::memset(&var, 0, sizeof(var));
    ok = length > 0 &&
         snmp_set_var_typed_value(&var, type, static_cast<const u_char*>(value), length) == 0;
  }
  ~Variable() { snmp_free_var_internals(&var); }
  netsnmp_variable_list var;
  bool ok;
};

// Integers up to the 32-bit limits reach net-snmp as the same number and decode back; values
// beyond are a range error, not a truncation (net-snmp cuts positive values above 32 bits,
// so those are given directly); counter64 values keep both 32-bit halves.
TEST(AsnConversionsTest, RoundTripsAndRange) {
  std::array<unsigned char, 1024> buffer{};
  for (int value : {0, -1, 42, Limits::max(), Limits::min()}) {
    Variable v(ASN_INTEGER, buffer.data(), S32ToAsnIntegerF()(value, buffer.data(), buffer.size()));
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(*v.var.val.integer, value);
    EXPECT_EQ(AsnIntegerToS32(v.var.val.integer), value);
  }
  for (long value : {2147483648L, 4294967295L, -2147483649L, std::numeric_limits<long>::min()}) {
    Variable v(ASN_INTEGER, &value, sizeof(value));
    ASSERT_TRUE(v.ok);
    EXPECT_THROW(AsnIntegerToS32(v.var.val.integer), Qel::RangeException) << value;
  }
  for (long value : {4294967296L, std::numeric_limits<long>::max()}) {
    EXPECT_THROW(AsnIntegerToS32(&value), Qel::RangeException) << value;
  }
  for (unsigned long value : {0UL, 0xffffffffUL, (1UL << 40) + 5, ~0UL}) {
    Variable v(ASN_COUNTER64, buffer.data(),
               U64ToCounter64F()(value, buffer.data(), buffer.size()));
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(v.var.val.counter64->high, value >> 32);
    EXPECT_EQ(v.var.val.counter64->low, value & 0xffffffffUL);
  }
}

// A buffer below the form's size, or none, fails and is left untouched; the exact size
// suffices, unaligned, and nothing is written past the form.
TEST(AsnConversionsTest, BufferSizes) {
  std::array<unsigned char, 1024> buffer;
  buffer.fill(0xab);
  EXPECT_LT(S32ToAsnIntegerF()(7, buffer.data(), sizeof(long) - 1), 0);
  EXPECT_LT(U64ToCounter64F()(7, buffer.data(), sizeof(counter64) - 1), 0);
  EXPECT_LT(S32ToAsnIntegerF()(7, nullptr, 1024), 0);
  EXPECT_LT(U64ToCounter64F()(7, nullptr, 1024), 0);
  for (unsigned char byte : buffer) ASSERT_EQ(byte, 0xab);
  EXPECT_EQ(S32ToAsnIntegerF()(-7, buffer.data() + 1, sizeof(long)), int(sizeof(long)));
  EXPECT_EQ(U64ToCounter64F()(7, buffer.data() + 1, 1024), int(sizeof(counter64)));
  EXPECT_EQ(buffer[1 + sizeof(counter64)], 0xab);
}

}  // namespace
