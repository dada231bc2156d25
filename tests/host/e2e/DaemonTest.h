// tests/host/e2e/DaemonTest.h — the fixture every end-to-end case builds on.
///
/// Each case starts its own daemon. Whatever the case did, TearDown stops a daemon that is
/// still running with SIGTERM and checks the clean exit (status 0, no sanitizer report), so
/// every case also checks that the daemon shuts down cleanly after what it went through.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Daemon.h"
#include "SnmpClient.h"
#include "SwitchState.h"

namespace E2e {

/// How a state file is replaced: renamed over (a new inode) or rewritten in place.
enum class WriteMode { rename, inPlace };

inline void PrintTo(WriteMode mode, std::ostream* out) {
  *out << (mode == WriteMode::rename ? "renamed" : "in place");
}

class DaemonTest : public ::testing::Test {
 protected:
  void TearDown() override;

  std::string statePath() const { return daemon_.dir().file("state.json"); }
  /// Writes `state` and starts the daemon on it (plus `extra` arguments); returns once the
  /// state is applied and the table is ready.
  void startWithState(const SwitchState& state, const std::vector<std::string>& extra = {});
  /// Replaces the state file and waits for the daemon to apply it.
  void applyState(const SwitchState& state, WriteMode mode);
  /// Writes `text` as the state file, as it is, without waiting.
  void writeState(const std::string& text, WriteMode mode) const;

  /// A full snmpbulkwalk of the table equals `rows`.
  void expectTable(const std::vector<Row>& rows, const std::string& when) const;

  Daemon daemon_;
};

/// Every OID after the first is greater than the one before it.
::testing::AssertionResult strictlyIncreasing(const std::vector<VarBind>& vars);
/// `actual` equals `expected`; on failure names the first difference.
::testing::AssertionResult sameVars(const std::vector<VarBind>& actual,
                                    const std::vector<VarBind>& expected);
/// A client run that ended with status 0 and printed no error.
::testing::AssertionResult succeeded(const ClientResult& result);

}  // namespace E2e
