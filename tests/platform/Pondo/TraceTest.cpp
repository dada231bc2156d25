// Trace gating and records of the debug handlers and the framework's trace handles.
#include <gtest/gtest.h>

#include "Qel/TraceHandle.h"
#include "TraceCapture.h"

namespace {

/// Counts how often it is formatted, to prove that disabled levels format nothing.
struct Counted {
  int* formats;
};
std::ostream& operator<<(std::ostream& out, const Counted& c) { return out << ++*c.formats; }

}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<int> {
  auto format(const Counted& c, fmt::format_context& ctx) const {
    return fmt::formatter<int>::format(++*c.formats, ctx);
  }
};

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

// Bit N of the mask enables level N only; the framework handle shares the named levels and
// evaluates nothing for a disabled level.
TEST(TraceHandleTest, LevelsGateBeforeFormatting) {
  TraceLevels levels("TraceHandleTest", U16(1u << 2));
  Qel::TraceHandle handle("TraceHandleTest", false);
  EXPECT_TRUE(handle.enabled(2));
  EXPECT_FALSE(handle.enabled(1));
  EXPECT_FALSE(handle.enabled(3));
  TraceCapture capture;
  int formats = 0;
  QEL_TRACE(handle, 1) << "hidden " << Counted{&formats};
  QEL_TRACE(handle, 2) << "shown " << Counted{&formats} << " at " << 8u;
  EXPECT_EQ(formats, 1);
  EXPECT_EQ(capture.texts("TraceHandleTest"), std::vector<std::string>{"shown 1 at 8"});
}

}  // namespace
