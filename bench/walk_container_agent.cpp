// bench/walk_container_agent.cpp — baseline agent on net-snmp's table_container helper.
//
/// What a user would otherwise pick: the rows, values included, sit in net-snmp's default table
/// container (a sorted binary array of netsnmp_index keys) and the table_container helper finds
/// the row of each GET and GETNEXT by binary search. Usage: walk_container_agent PORT INTERFACES.
#include "walk_agent.h"

#include <cstdlib>
#include <vector>

namespace {

using WalkBench::RowKey;

/// One row as the container holds it: the netsnmp_index must come first.
struct ContainerRow {
  netsnmp_index index;
  oid key[2];
  std::uint64_t level;
  long units;
  std::uint64_t drops;
};

/// The rows, allocated once; the container holds pointers into it.
std::vector<ContainerRow> rows;

bool setValue(netsnmp_variable_list* var, unsigned column, const ContainerRow& row) {
  switch (column) {
    case WalkBench::levelColumn:
      WalkBench::setCounter64(var, row.level);
      return true;
    case WalkBench::unitsColumn:
      snmp_set_var_typed_integer(var, ASN_INTEGER, row.units);
      return true;
    case WalkBench::dropsColumn:
      WalkBench::setCounter64(var, row.drops);
      return true;
    default:
      return false;
  }
}

int handleColumns(netsnmp_mib_handler*, netsnmp_handler_registration*,
                  netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  auto rowOf = [](netsnmp_request_info* request) {
    return static_cast<const ContainerRow*>(netsnmp_container_table_row_extract(request));
  };
  return WalkBench::answerColumns(reqinfo, requests, rowOf, setValue);
}

netsnmp_container* filledContainer(std::uint32_t interfaces) {
  netsnmp_container* container = netsnmp_container_find("walkContainerTable:table_container");
  if (container == nullptr) return nullptr;
  // Rows arrive unique and in order: skip the duplicate search of every insertion; the array
  // is sorted once, at the first lookup.
  int rc = 0;
  CONTAINER_SET_OPTIONS(container, CONTAINER_KEY_ALLOW_DUPLICATES, rc);
  if (rc == -1) return nullptr;

  const std::uint64_t count = std::uint64_t{interfaces} * WalkBench::classes;
  rows.resize(count);
  for (std::uint64_t r = 0; r < count; ++r) {
    const RowKey key = WalkBench::keyOf(r);
    ContainerRow& row = rows[r];
    row.key[0] = key.ifIndex;
    row.key[1] = key.trafficClass;
    row.index.len = 2;
    row.index.oids = row.key;
    row.level = WalkBench::thresholdLevel(key);
    row.units = WalkBench::thresholdUnits(key);
    row.drops = WalkBench::drops(key);
    if (CONTAINER_INSERT(container, &row) != 0) return nullptr;
  }
  return container;
}

void registerTable(std::uint32_t interfaces) {
  netsnmp_container* container = filledContainer(interfaces);
  if (container == nullptr) {
    snmp_log(LOG_ERR, "walkContainerTable: cannot fill the container\n");
    std::exit(1);
  }
  netsnmp_handler_registration* reg =
      netsnmp_create_handler_registration("walkContainerTable", handleColumns, WalkBench::tableOid,
                                          WalkBench::tableOidLen, HANDLER_CAN_RONLY);
  auto* table = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  netsnmp_table_helper_add_indexes(table, ASN_INTEGER, ASN_INTEGER, 0);
  table->min_column = WalkBench::minColumn;
  table->max_column = WalkBench::maxColumn;
  if (netsnmp_container_table_register(reg, table, container, TABLE_CONTAINER_KEY_NETSNMP_INDEX) !=
      MIB_REGISTERED_OK) {
    snmp_log(LOG_ERR, "walkContainerTable: registration failed\n");
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  return WalkBench::runAgent(argc, argv, "walk_container_agent", registerTable);
}
