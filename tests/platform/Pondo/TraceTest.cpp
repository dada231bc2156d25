// Records of the debug handlers: what fmtrace hands to the trace sink.
#include <gtest/gtest.h>

#include "TraceCapture.h"

namespace {

// One handler per name; fmtrace records level, component, position and the formatted text.
TEST(DebugHandlerTest, FmtraceRecordsTheMessage) {
  auto h = Pondo::Platform::getDebugHandler("DebugHandlerTest", false);
  EXPECT_EQ(h, Pondo::Platform::getDebugHandler("DebugHandlerTest", true));
  TraceCapture capture;
  Pondo::fmtrace(*h, 7, "file.cpp", "handleX", 42, "Machine", "k={} n={} ok={:}",
                 std::string("Ethernet1"), U32(4), true);
  ASSERT_EQ(capture.records.size(), 1u);
  const Pondo::TraceRecord& r = capture.records[0];
  EXPECT_EQ(r.facility, "DebugHandlerTest");
  EXPECT_EQ(r.level, 7);
  EXPECT_EQ(r.component, "Machine");
  EXPECT_STREQ(r.function, "handleX");
  EXPECT_EQ(r.line, 42);
  EXPECT_EQ(r.text, "k=Ethernet1 n=4 ok=true");
}

}  // namespace
