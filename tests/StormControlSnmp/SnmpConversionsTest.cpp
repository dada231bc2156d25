// The storm-control MIB's enumerations to ASN_INTEGER where requests cannot take them: traffic
// classes outside the enumeration and unusable buffers. The values requests carry, and the
// refusals of hints, are in the table module's transcript (expected-requests.txt).
#include "StormControlSnmp/SnmpConversions.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using Bridging::StormControl::ThresholdType;
using TC = StormControlSnmp::StormControlTCType;

// A stored traffic class outside the enumeration goes on the wire as 0; encoding into too small
// a buffer, none, or a negative size fails without writing.
TEST(SnmpConversionsTest, UnknownTrafficClassIsZeroAndUnusableBufferRefused) {
  EXPECT_EQ(StormControlTCTypeNumber(TC(4)), 0);
  std::array<unsigned char, 16> buffer;
  buffer.fill(0xab);
  for (auto [data, size] : {std::pair{buffer.data(), int{sizeof(long)} - 1},
                            std::pair{buffer.data(), -1}, std::pair{(unsigned char*)nullptr, 16}}) {
    EXPECT_LT(StormControlThresholdTypeToAsnInteger(ThresholdType::percentage, data, size), 0);
  }
  for (unsigned char byte : buffer) ASSERT_EQ(byte, 0xab);
}

}  // namespace
