// tests/host/e2e/SnmpClient.h — the snmp package's command-line clients aimed at one agent.
///
/// Every call runs the real client (snmpget, snmpbulkwalk, ...) with numeric OIDs (`-On -Oe`),
/// no MIB, a short retry timeout of its own and a hard deadline around it.
#pragma once

#include <string>
#include <vector>

#include "Process.h"
#include "SnmpTarget.h"
#include "VarBind.h"

namespace E2e {

/// The table `breltaStormControlIfTable` and its entry.
inline const Oid tableOid{1, 3, 6, 1, 4, 1, 32473, 3, 35, 1, 1};
inline const Oid entryOid{1, 3, 6, 1, 4, 1, 32473, 3, 35, 1, 1, 1};

/// The OID of column `column` of row (ifIndexArc, trafficClass).
Oid cellOid(unsigned column, std::uint64_t ifIndexArc, unsigned trafficClass);

struct ClientResult {
  ProcessResult process;
  std::vector<VarBind> vars;

  bool ok() const { return process.ok(); }
  std::string describe() const { return process.describe(); }
  /// The text after "Reason: " in an error answer, or empty.
  std::string errorReason() const;
};

class SnmpClient {
 public:
  /// `version` and `community` go before the agent address: {"-v2c", "-c", "public"}.
  SnmpClient(const SnmpTarget& target, std::vector<std::string> auth = {"-v2c", "-c", "public"});

  /// Runs `tool` with `options`, the agent address, then `operands` (OIDs, or OID type value).
  ClientResult run(const std::string& tool, const std::vector<std::string>& options,
                   const std::vector<std::string>& operands) const;

  ClientResult get(const std::vector<Oid>& oids) const;
  ClientResult getNext(const std::vector<Oid>& oids) const;
  ClientResult getBulk(int nonRepeaters, int maxRepetitions, const std::vector<Oid>& oids) const;
  ClientResult walk(const Oid& root = tableOid) const;
  /// snmpbulkwalk with `-Cr<maxRepetitions>`.
  ClientResult bulkWalk(const Oid& root = tableOid, int maxRepetitions = 25) const;
  /// snmpset of one variable: `type` is the client's type letter ("i", "c"...).
  ClientResult set(const Oid& oid, const std::string& type, const std::string& value) const;

 private:
  const SnmpTarget& target_;
  std::vector<std::string> auth_;
};

}  // namespace E2e
