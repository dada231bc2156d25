// Trace gating of the framework's trace handles: a disabled level formats nothing.
#include <gtest/gtest.h>

#include "Qel/TraceHandle.h"
#include "TraceCapture.h"

namespace {

/// Counts how often it is formatted, to prove that disabled levels format nothing.
struct Counted {
  int* formats;
};
std::ostream& operator<<(std::ostream& out, const Counted& c) { return out << ++*c.formats; }

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
