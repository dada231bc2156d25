// bench/walk_bare_agent.cpp — baseline agent with one bare handler over the table's OID.
//
/// No table helper: one handler registered on the table OID answers GET and GETNEXT itself,
/// computing the next instance and its value from the request's OID (GETBULK reaches it as
/// GETNEXT through net-snmp's bulk-to-next helper). This is what the agent library costs on
/// its own: the floor under every table design. Usage: walk_bare_agent PORT INTERFACES.
#include "walk_agent.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace {

using WalkBench::RowKey;

/// An instance of the table: a column and a row number.
struct Position {
  unsigned column;
  std::uint64_t row;
};

std::uint32_t interfaceCount = 0;

std::uint64_t rowCount() { return std::uint64_t{interfaceCount} * WalkBench::classes; }

std::optional<Position> columnStart(unsigned column) {
  if (column > WalkBench::maxColumn || rowCount() == 0) return std::nullopt;
  return Position{column, 0};
}

/// The first row whose index (ifIndex, class) sorts after `index` (n sub-identifiers), or
/// rowCount() when there is none; a shorter index sorts before every index it prefixes.
std::uint64_t firstRowAfter(const oid* index, std::size_t n) {
  if (n == 0 || index[0] < 1) return 0;
  if (index[0] > interfaceCount) return rowCount();
  const std::uint64_t interfaceStart = (index[0] - 1) * WalkBench::classes;
  if (n == 1) return interfaceStart;
  if (index[1] >= WalkBench::classes) return interfaceStart + WalkBench::classes;
  return interfaceStart + index[1] + 1;
}

/// The instance GETNEXT answers for `name`, or none past the table's last one.
std::optional<Position> nextAfter(const oid* name, std::size_t len) {
  const std::size_t prefix = std::min(len, WalkBench::tableOidLen);
  const int order = snmp_oid_compare(name, prefix, WalkBench::tableOid, WalkBench::tableOidLen);
  if (order < 0) return columnStart(WalkBench::minColumn);
  if (order > 0) return std::nullopt;
  const oid* rest = name + WalkBench::tableOidLen;
  const std::size_t n = len - WalkBench::tableOidLen;
  if (n == 0 || rest[0] < 1) return columnStart(WalkBench::minColumn);
  if (rest[0] > 1) return std::nullopt;
  if (n == 1 || rest[1] < WalkBench::minColumn) return columnStart(WalkBench::minColumn);
  if (rest[1] > WalkBench::maxColumn) return std::nullopt;
  const auto column = static_cast<unsigned>(rest[1]);
  const std::uint64_t row = firstRowAfter(rest + 2, n - 2);
  if (row < rowCount()) return Position{column, row};
  return columnStart(column + 1);
}

/// The instance `name` names exactly; an error code (noSuchObject, noSuchInstance) otherwise.
int exactPosition(const oid* name, std::size_t len, Position& position) {
  const std::size_t entryLen = WalkBench::tableOidLen + 2;
  if (len < entryLen ||
      snmp_oid_compare(name, WalkBench::tableOidLen, WalkBench::tableOid, WalkBench::tableOidLen) !=
          0 ||
      name[WalkBench::tableOidLen] != 1 || name[entryLen - 1] < WalkBench::minColumn ||
      name[entryLen - 1] > WalkBench::maxColumn) {
    return SNMP_NOSUCHOBJECT;
  }
  if (len != entryLen + 2 || name[entryLen] < 1 || name[entryLen] > interfaceCount ||
      name[entryLen + 1] >= WalkBench::classes) {
    return SNMP_NOSUCHINSTANCE;
  }
  position.column = static_cast<unsigned>(name[entryLen - 1]);
  position.row = WalkBench::rowOf(
      {static_cast<std::uint32_t>(name[entryLen]), static_cast<std::uint32_t>(name[entryLen + 1])});
  return SNMP_ERR_NOERROR;
}

void answer(netsnmp_variable_list* var, Position position) {
  const RowKey key = WalkBench::keyOf(position.row);
  oid name[WalkBench::tableOidLen + 4];
  std::copy(WalkBench::tableOid, WalkBench::tableOid + WalkBench::tableOidLen, name);
  name[WalkBench::tableOidLen] = 1;
  name[WalkBench::tableOidLen + 1] = position.column;
  name[WalkBench::tableOidLen + 2] = key.ifIndex;
  name[WalkBench::tableOidLen + 3] = key.trafficClass;
  snmp_set_var_objid(var, name, WalkBench::tableOidLen + 4);
  WalkBench::setColumnValue(var, position.column, key);
}

int handleTable(netsnmp_mib_handler*, netsnmp_handler_registration*,
                netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
    if (request->processed) continue;
    netsnmp_variable_list* var = request->requestvb;
    if (reqinfo->mode == MODE_GETNEXT) {
      // Past the last instance the request stays untouched: the agent moves on.
      if (const auto position = nextAfter(var->name, var->name_length)) answer(var, *position);
      continue;
    }
    if (reqinfo->mode != MODE_GET) {
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_NOTWRITABLE);
      continue;
    }
    Position position{};
    const int error = exactPosition(var->name, var->name_length, position);
    if (error != SNMP_ERR_NOERROR) {
      netsnmp_set_request_error(reqinfo, request, error);
      continue;
    }
    WalkBench::setColumnValue(var, position.column, WalkBench::keyOf(position.row));
  }
  return SNMP_ERR_NOERROR;
}

void registerTable(std::uint32_t interfaces) {
  interfaceCount = interfaces;
  netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
      "walkBareTable", handleTable, WalkBench::tableOid, WalkBench::tableOidLen, HANDLER_CAN_RONLY);
  if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK) {
    snmp_log(LOG_ERR, "walkBareTable: registration failed\n");
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  return WalkBench::runAgent(argc, argv, "walk_bare_agent", registerTable);
}
