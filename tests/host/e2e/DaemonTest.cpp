// tests/host/e2e/DaemonTest.cpp — the shared fixture and its checks.
#include "DaemonTest.h"

#include <algorithm>

#include "TempDir.h"

namespace E2e {

void DaemonTest::TearDown() {
  if (!daemon_.running()) return;
  const auto status = daemon_.stop();
  EXPECT_EQ(status, 0) << "SIGTERM must end the daemon with status 0\n--- log ---\n"
                       << daemon_.log();
  EXPECT_EQ(sanitizerReports(daemon_.log()), "") << daemon_.log();
}

void DaemonTest::startWithState(const SwitchState& state, const std::vector<std::string>& extra) {
  writeFileAtomically(statePath(), state.json());
  std::vector<std::string> args{"--state", statePath()};
  args.insert(args.end(), extra.begin(), extra.end());
  ASSERT_TRUE(daemon_.start(args)) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("state applied: " + statePath())) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("table ready: ")) << daemon_.log();
}

void DaemonTest::writeState(const std::string& text, WriteMode mode) const {
  if (mode == WriteMode::rename) {
    writeFileAtomically(statePath(), text);
    return;
  }
  writeFileInPlace(statePath(), text);
}

void DaemonTest::applyState(const SwitchState& state, WriteMode mode) {
  const std::string applied = "state applied: " + statePath();
  const int before = daemon_.logCount(applied);
  writeState(state.json(), mode);
  ASSERT_TRUE(daemon_.waitForLog(applied, before + 1)) << daemon_.log();
}

void DaemonTest::expectTable(const std::vector<Row>& rows, const std::string& when) const {
  const ClientResult walk = SnmpClient(daemon_).bulkWalk();
  ASSERT_TRUE(succeeded(walk)) << when;
  EXPECT_TRUE(sameVars(walk.vars, tableVars(rows))) << when;
}

::testing::AssertionResult strictlyIncreasing(const std::vector<VarBind>& vars) {
  for (std::size_t i = 1; i < vars.size(); ++i) {
    if (vars[i - 1].oid < vars[i].oid) continue;
    return ::testing::AssertionFailure()
           << "variable " << i << " does not increase: " << describe(vars[i - 1]) << " then "
           << describe(vars[i]);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameVars(const std::vector<VarBind>& actual,
                                    const std::vector<VarBind>& expected) {
  const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  if (a == actual.end() && e == expected.end()) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  failure << actual.size() << " variables, expected " << expected.size() << "; first difference at "
          << (a - actual.begin()) << ": got "
          << (a == actual.end() ? std::string("nothing") : describe(*a)) << ", expected "
          << (e == expected.end() ? std::string("nothing") : describe(*e));
  if (actual.size() <= 100) failure << "\ngot:\n" << describe(actual);
  return failure;
}

::testing::AssertionResult succeeded(const ClientResult& result) {
  const bool printedError = result.process.err.find("Error") != std::string::npos ||
                            result.process.err.find("Timeout") != std::string::npos;
  if (result.ok() && !printedError) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << result.describe();
}

}  // namespace E2e
