// bench/walk_iterator_agent.cpp — baseline agent on the plug-in's helper chain, rows computed.
//
/// The same handler chain as the storm-control table: serialize handler injected first, table
/// helper, table iterator registered sorted (the request's index values arrive as a hint in
/// *loop_context at get-first and the walk starts at the row they name), then a column handler.
/// Rows are computed from their position, so a walk costs only what the helper chain costs:
/// the floor of this design. Usage: walk_iterator_agent PORT INTERFACES.
#include "walk_agent.h"

#include <cstdlib>
#include <optional>

namespace {

using WalkBench::RowKey;

/// Loop and data context: the position of a walk, heap records as the plug-in's are.
struct Cursor {
  std::uint64_t row;
};

std::uint64_t rowCount = 0;

netsnmp_variable_list* fillIndexes(const Cursor* cursor, netsnmp_variable_list* indexes) {
  if (cursor->row >= rowCount) return nullptr;
  const RowKey key = WalkBench::keyOf(cursor->row);
  snmp_set_var_typed_integer(indexes, ASN_INTEGER, static_cast<long>(key.ifIndex));
  snmp_set_var_typed_integer(indexes->next_variable, ASN_INTEGER,
                             static_cast<long>(key.trafficClass));
  return indexes;
}

/// The row the hint names, or row 0 when it names none.
std::uint64_t startRow(const netsnmp_table_request_info* hint) {
  if (hint == nullptr || hint->number_indexes != 2) return 0;
  const netsnmp_variable_list* ifIndex = hint->indexes;
  const netsnmp_variable_list* trafficClass = ifIndex->next_variable;
  if (ifIndex->type != ASN_INTEGER || trafficClass == nullptr ||
      trafficClass->type != ASN_INTEGER) {
    return 0;
  }
  const long k = *ifIndex->val.integer;
  const long c = *trafficClass->val.integer;
  if (k < 1 || c < 0 || c >= static_cast<long>(WalkBench::classes)) return 0;
  const std::uint64_t row =
      WalkBench::rowOf({static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(c)});
  return row < rowCount ? row : 0;
}

netsnmp_variable_list* getFirst(void** loopContext, void**, netsnmp_variable_list* indexes,
                                netsnmp_iterator_info*) {
  auto* cursor = new Cursor{startRow(static_cast<netsnmp_table_request_info*>(*loopContext))};
  *loopContext = cursor;
  return fillIndexes(cursor, indexes);
}

netsnmp_variable_list* getNext(void** loopContext, void** dataContext,
                               netsnmp_variable_list* indexes, netsnmp_iterator_info*) {
  auto* cursor = static_cast<Cursor*>(*loopContext);
  if (cursor == nullptr || cursor->row >= rowCount) return nullptr;
  ++cursor->row;
  if (*dataContext != nullptr) static_cast<Cursor*>(*dataContext)->row = cursor->row;
  return fillIndexes(cursor, indexes);
}

void* makeDataContext(void* loopContext, netsnmp_iterator_info*) {
  return new Cursor{*static_cast<Cursor*>(loopContext)};
}

void freeContext(void* context, netsnmp_iterator_info*) { delete static_cast<Cursor*>(context); }

int handleColumns(netsnmp_mib_handler*, netsnmp_handler_registration*,
                  netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  auto rowOf = [](netsnmp_request_info* request) -> std::optional<WalkBench::RowKey> {
    const auto* cursor = static_cast<const Cursor*>(netsnmp_extract_iterator_context(request));
    if (cursor == nullptr || cursor->row >= rowCount) return std::nullopt;
    return WalkBench::keyOf(cursor->row);
  };
  return WalkBench::answerColumns(reqinfo, requests, rowOf, WalkBench::setColumnValue);
}

void registerTable(std::uint32_t interfaces) {
  rowCount = std::uint64_t{interfaces} * WalkBench::classes;
  static unsigned validColumns[] = {WalkBench::levelColumn, WalkBench::unitsColumn,
                                    WalkBench::dropsColumn};

  netsnmp_handler_registration* reg =
      netsnmp_create_handler_registration("walkIteratorTable", handleColumns, WalkBench::tableOid,
                                          WalkBench::tableOidLen, HANDLER_CAN_RONLY);
  auto* table = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  netsnmp_table_helper_add_indexes(table, ASN_INTEGER, ASN_INTEGER, 0);
  auto* columns = SNMP_MALLOC_TYPEDEF(netsnmp_column_info);
  columns->list_count = 3;
  columns->details.list = validColumns;
  table->min_column = WalkBench::minColumn;
  table->max_column = WalkBench::maxColumn;
  table->valid_columns = columns;

  auto* iinfo = SNMP_MALLOC_TYPEDEF(netsnmp_iterator_info);
  iinfo->get_first_data_point = getFirst;
  iinfo->get_next_data_point = getNext;
  iinfo->make_data_context = makeDataContext;
  iinfo->free_data_context = freeContext;
  iinfo->free_loop_context_at_end = freeContext;
  iinfo->flags = NETSNMP_ITERATOR_FLAG_SORTED | NETSNMP_HANDLER_OWNS_IINFO;
  iinfo->table_reginfo = table;

  if (netsnmp_register_table_iterator(reg, iinfo) != MIB_REGISTERED_OK ||
      netsnmp_inject_handler(reg, netsnmp_get_serialize_handler()) != SNMPERR_SUCCESS) {
    snmp_log(LOG_ERR, "walkIteratorTable: registration failed\n");
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  return WalkBench::runAgent(argc, argv, "walk_iterator_agent", registerTable);
}
