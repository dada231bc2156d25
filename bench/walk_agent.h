// bench/walk_agent.h — the frame and the table shared by the walk benchmark's baseline agents.
//
/// Each baseline agent serves the storm-control table's shape (the contract's OID, two INTEGER
/// indexes ifIndex and traffic class 0..3, columns 2 Counter64, 3 INTEGER, 4 Counter64) for a given
/// number of interfaces, with values computed from the index alone. walk_state writes the
/// state files with the same formulas, so every agent and the daemon answer a walk with the
/// same bytes. Row r (0-based, in index order) is interface r / 4 + 1, traffic class r % 4.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstddef>
#include <cstdint>

#include "StormControlSnmp/StormControlSnmpContract.h"

namespace WalkBench {

namespace Contract = StormControlSnmp::Contract;

inline constexpr const oid* tableOid = Contract::tableOid.data();
inline constexpr std::size_t tableOidLen = Contract::tableOid.size();
inline constexpr unsigned classes = Contract::trafficClassCount;
using Contract::maxColumn;
using Contract::minColumn;
inline constexpr unsigned levelColumn = Contract::thresholdLevelColumn;
inline constexpr unsigned unitsColumn = Contract::thresholdUnitsColumn;
inline constexpr unsigned dropsColumn = Contract::dropsColumn;

/// The index of one row: ifIndex from 1, traffic class 0..3.
struct RowKey {
  std::uint32_t ifIndex;
  std::uint32_t trafficClass;
};

inline RowKey keyOf(std::uint64_t row) {
  return {static_cast<std::uint32_t>(row / classes + 1), static_cast<std::uint32_t>(row % classes)};
}

inline std::uint64_t rowOf(RowKey key) {
  return std::uint64_t{key.ifIndex - 1} * classes + key.trafficClass;
}

// Column values; walk_state writes the same numbers into its state files.
inline std::uint64_t thresholdLevel(RowKey key) {
  return 1000000 + std::uint64_t{key.ifIndex} * 4 + key.trafficClass;
}
inline long thresholdUnits(RowKey key) { return (key.ifIndex + key.trafficClass) % 3; }
inline std::uint64_t drops(RowKey key) {
  return std::uint64_t{key.ifIndex} * 37 + key.trafficClass;
}

/// Sets `var` to a Counter64 value.
void setCounter64(netsnmp_variable_list* var, std::uint64_t value);

/// Sets `var` to the value of `column` for the row `key`. False for a column outside 2..4.
bool setColumnValue(netsnmp_variable_list* var, unsigned column, RowKey key);

/// The column handler's loop the table agents share: in GET, each unprocessed request is
/// answered from the row `rowOf(request)` finds (none: noSuchInstance) by
/// `setValue(var, column, row)` (false: noSuchObject); any other mode is notWritable.
template <class RowOf, class SetValue>
int answerColumns(netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests, RowOf rowOf,
                  SetValue setValue) {
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (request->processed) continue;
    if (reqinfo->mode != MODE_GET) {
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_NOTWRITABLE);
      continue;
    }
    const auto row = rowOf(request);
    if (!row) {
      netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
      continue;
    }
    const netsnmp_table_request_info* table = netsnmp_extract_table_info(request);
    if (!setValue(request->requestvb, table->colnum, *row)) {
      netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHOBJECT);
    }
  }
  return SNMP_ERR_NOERROR;
}

/// Registers the agent's table for `interfaces` interfaces (called after init_agent).
using RegisterTable = void (*)(std::uint32_t interfaces);

/// Runs a baseline agent: `argv` is PROGRAM PORT INTERFACES. Listens on udp:127.0.0.1:PORT with
/// the read-only community "public", writes "NAME ready: ROWS rows on SPEC" to stderr once it
/// listens, and serves until SIGTERM or SIGINT. Returns the process exit status.
int runAgent(int argc, char** argv, const char* name, RegisterTable registerTable);

}  // namespace WalkBench
