// The host's (context, MIB) notes.
#include "Snmp/MibContext.h"

#include <gtest/gtest.h>

namespace {

// Notes are per pair and form a set: a second note of a pair is gone after one withdrawal;
// withdrawing a pair, present or not, leaves the others.
TEST(MibContextTest, SetOfPairs) {
  Snmp::registerMibContext("ctxA", "mibOne");
  Snmp::registerMibContext("ctxA", "mibOne");
  Snmp::registerMibContext("ctxB", "mibOne");
  EXPECT_TRUE(Snmp::mibContextExists("ctxA", "mibOne"));
  EXPECT_FALSE(Snmp::mibContextExists("ctxA", "mibTwo"));
  Snmp::unregisterMibContext("ctxC", "mibOne");
  Snmp::unregisterMibContext("ctxA", "mibOne");
  EXPECT_FALSE(Snmp::mibContextExists("ctxA", "mibOne"));
  EXPECT_TRUE(Snmp::mibContextExists("ctxB", "mibOne"));
  Snmp::unregisterMibContext("ctxB", "mibOne");
  EXPECT_FALSE(Snmp::mibContextExists("ctxB", "mibOne"));
}

}  // namespace
