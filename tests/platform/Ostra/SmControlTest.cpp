// Defaults and field-wise equality of Ostra::SmControl.
#include "Ostra/SmControl.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using Ostra::SmControl;

// The default runs nothing; copies compare equal and any single changed field makes a
// difference.
TEST(SmControlTest, DefaultsAndEqualityOfEveryField) {
  const SmControl base;
  EXPECT_FALSE(base.scheduler());
  EXPECT_EQ(base.qtHandle(), nullptr);
  EXPECT_TRUE(base.traceName().empty());
  EXPECT_EQ(base.priority() + base.synchronous(), 0);
  Strobe::TraceHandle handle("SmTrace");
  const std::vector<std::function<void(SmControl&)>> changes{
      [](SmControl& c) { c.schedulerIs(Pondo::make<Velo::TaskScheduler>()); },
      [&](SmControl& c) { c.qtHandleIs(&handle); },
      [](SmControl& c) { c.traceNameIs("IfTableSm"); },
      [](SmControl& c) { c.priorityIs(4); },
      [](SmControl& c) { c.synchronousIs(SmControl::synchronousOff); },
  };
  for (const auto& change : changes) {
    SmControl changed = base;
    EXPECT_EQ(changed, base);
    change(changed);
    EXPECT_NE(changed, base);
    EXPECT_EQ(SmControl(changed), changed);
  }
}

}  // namespace
