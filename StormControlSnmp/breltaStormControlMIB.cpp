// StormControlSnmp/breltaStormControlMIB.cpp — registration, iteration and request handling of
// `breltaStormControlIfTable`.
///
/// Every trace goes to the framework facility "Snmp" and is gated before anything is formatted.
/// Records handed to net-snmp come from `calloc`: net-snmp releases them with `free`.
#include "StormControlSnmp/breltaStormControlMIB.h"

// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <array>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "Pondo/Assert.h"
#include "Qel/Exception.h"
#include "Qel/TraceHandle.h"
#include "Snmp/AsnConversions.h"
#include "Snmp/AutoRegistree.h"
#include "Snmp/HandlerRegistration.h"
#include "Snmp/MibContext.h"
#include "Snmp/RegVoidCollByContext.h"
#include "Snmp/SnmpModule.h"
#include "SnmpUtil/SnmpUtil.h"
#include "StormControlSnmp/SnmpConversions.h"

namespace Contract = StormControlSnmp::Contract;
using StormControlSnmp::StormControlIfTableEntry;
using StormControlSnmp::StormControlIfTableKey;
using StormControlSnmp::StormControlMib;
using StormControlSnmp::StormControlTCType;
using Counter = Snmp::OrderedTableIteratorCounterTypes;
using Entry = breltaStormControlIfTable_entry;

namespace {

// ======== module objects ==================================================================

constexpr const char* mibName = "breltaStormControlMIB";
constexpr const char* tableName = "breltaStormControlIfTable";
constexpr const char* entityPath = Contract::mibPath.data();
constexpr const char* registrationPrefix = "breltaStormControlIfTable_";

static_assert(std::is_same_v<oid, Contract::Subid>);
constexpr const oid* tableOid = Contract::tableOid.data();
constexpr std::size_t tableOidLength = Contract::tableOid.size();
static_assert(tableOidLength == 11);

using Contract::maxColumn;
using Contract::minColumn;
/// The valid-column list net-snmp is given (it takes the list as writable).
std::array<unsigned int, Contract::columns.size()> validColumns = Contract::columns;

/// Size of the buffer a value is encoded into.
constexpr std::size_t valueBufferSize = 1024;

// Constructed in this order at load, destroyed in reverse: the auto-registree first.
std::map<Pondo::String, BreltaHandlerRegs> handlerRegsByContext;
std::map<Pondo::String, BreltaColumnInfos> columnInfosByContext;

/// The module's registration with the agent host.
class breltaStormControlMIB_HandlerRegistration : public Snmp::HandlerRegistration {
 public:
  void initHandler(Pondo::String context) override { init_breltaStormControlMIB(context); }
};

breltaStormControlMIB_HandlerRegistration handlerRegistration;
Snmp::AutoRegistree autoRegistree(&handlerRegistration);

/// The facility "Snmp", made at load and kept for the life of the process (the module may trace
/// from static destructors at exit). A plain reference, so that every gate on the per-value path
/// is an inline bit test.
const Qel::TraceHandle& snmpTrace = *new Qel::TraceHandle("Snmp", false);

#define SNMP_TRACE(level) QEL_TRACE(snmpTrace, level)

const void* ptr(const void* p) { return p; }

Pondo::Ptr<Snmp::RegVoidCollByContext> regVoidRegistry() {
  Pondo::Ptr<Qel::Entity> entity =
      Qel::Entity::singletonExists(Snmp::RegVoidCollByContext::singletonName);
  if (!entity) {
    entity = Qel::Entity::singletonIs(&Snmp::snmpModule().type(Snmp::regVoidCollByContextTypeIndex),
                                      Snmp::RegVoidCollByContext::singletonName);
  }
  auto registry = Pondo::dynamicPtrCast<Snmp::RegVoidCollByContext>(entity);
  PONDO_ASSERT_MSG(registry, "the registry's singleton name is taken by another type");
  return registry;
}

// ======== iteration callbacks ===============================================================

Snmp::RegVoid& regVoidOf(const netsnmp_iterator_info* iinfo) {
  return *static_cast<Snmp::RegVoid*>(iinfo->myvoid);
}

void count(const netsnmp_iterator_info* iinfo, Counter event) {
  if (const auto& counters = regVoidOf(iinfo).tableCounters()) {
    counters->orderedIterCntrsInc(event, 1);
  }
}

const StormControlMib::Table& tableOf(const netsnmp_iterator_info* iinfo) {
  return static_cast<const StormControlMib*>(regVoidOf(iinfo).payload())->stormControlIfTable();
}

netsnmp_variable_list* breltaStormControlIfTableIterationHelper(Entry* context,
                                                                netsnmp_variable_list* indexes) {
  const StormControlIfTableEntry* row = context->row();
  if (!row) {
    SNMP_TRACE(2) << "breltaStormControlIfTableIterationHelper - iterator is at end";
    return nullptr;
  }
  SNMP_TRACE(2) << "breltaStormControlIfTableIterationHelper - iterator has another value: ifIndex="
                << row->ifIndex();
  SNMP_TRACE(2) << "breltaStormControlIfTableIterationHelper - iterator has another value: "
                   "trafficClass="
                << row->trafficClass();
  // The index value is the ifIndex's 32 bits read as a non-negative number, the arc that goes
  // on the wire. net-snmp makes an INTEGER index into an OID arc by a plain cast to the 64-bit
  // `oid`: a negative value would compare above every arc a request can carry, so GET would
  // miss the row and GETNEXT would return it again and again.
  snmp_set_var_typed_integer(indexes, ASN_INTEGER, long{row->ifIndex()});
  snmp_set_var_typed_integer(indexes->next_variable, ASN_INTEGER,
                             StormControlTCTypeNumber(row->trafficClass()));
  return indexes;
}

/// The ifIndex a request's index names: the arc as it came, 0 to 2^32 - 1, the values the
/// walk hands out; a negative value (a manager's INTEGER) is taken as its 32 bits. Anything
/// else is out of range.
U32 requestedIfIndex(void* value) {
  const long arc = *static_cast<const long*>(value);
  if (arc >= 0 && arc <= long{std::numeric_limits<U32>::max()}) return static_cast<U32>(arc);
  return static_cast<U32>(AsnIntegerToS32(value));
}

/// The ifIndex component of a hint; false when it is unusable (traced).
bool hintIfIndex(const netsnmp_variable_list& var, U32& ifIndex) {
  if (var.type != ASN_INTEGER) {
    SNMP_TRACE(0) << "hint for ifIndex has incorrect type! Expecting " << int{ASN_INTEGER}
                  << " but got " << int{var.type};
    return false;
  }
  try {
    ifIndex = requestedIfIndex(var.val.integer);
  } catch (const Qel::RangeException& e) {
    SNMP_TRACE(0) << "hint for index ifIndex of breltaStormControlIfTable is out of range! " << e;
    return false;
  }
  SNMP_TRACE(2) << "hint component ifIndex is '" << ifIndex << "'";
  return true;
}

/// The traffic-class component of a hint; false when it is unusable (traced).
bool hintTrafficClass(const netsnmp_variable_list& var, StormControlTCType& trafficClass) {
  if (var.type != ASN_INTEGER) {
    SNMP_TRACE(0) << "hint for breltaStormControlIfTrafficClass has incorrect type! Expecting "
                  << int{ASN_INTEGER} << " but got " << int{var.type};
    return false;
  }
  try {
    trafficClass = AsnIntegerToStormControlTCType(var.val.integer);
  } catch (const Qel::RangeException& e) {
    SNMP_TRACE(0) << "hint for index breltaStormControlIfTrafficClass of "
                     "breltaStormControlIfTable is out of range! "
                  << e;
    return false;
  }
  SNMP_TRACE(2) << "hint component breltaStormControlIfTrafficClass is '" << trafficClass << "'";
  return true;
}

/// The key a hint names, when both of its components are usable.
std::optional<StormControlIfTableKey> hintKey(const netsnmp_table_request_info* hint) {
  if (!hint || hint->number_indexes != 2) return std::nullopt;
  unsigned usable = 0;
  U32 ifIndex = 0;
  StormControlTCType trafficClass = StormControlTCType::all;
  const netsnmp_variable_list* var = hint->indexes;
  if (var) {
    if (hintIfIndex(*var, ifIndex)) ++usable;
    var = var->next_variable;
    if (var && hintTrafficClass(*var, trafficClass)) ++usable;
  }
  if (usable == 2) return StormControlIfTableKey(ifIndex, trafficClass);
  SNMP_TRACE(2) << "breltaStormControlIfTable_get_first_data_point - needed 2 components, "
                << "found only " << usable;
  return std::nullopt;
}

/// The row a walk's last answer came from and the table's version when it was reached. The
/// next request of a sequential walk names that row as its hint; while the version is unchanged
/// the row is still a member (every insertion and removal moves the version), so the walk
/// resumes there without a search. It holds no reference: a stale cursor is never followed.
/// One served registration at a time; cleared when the default context is withdrawn.
struct WalkCursor {
  const StormControlMib::Table* table = nullptr;
  StormControlIfTableEntry* row = nullptr;
  U32 version = 0;
};

WalkCursor walkCursor;

/// At the row with `key`, or the next one: from the cursor when it is there, else by a search.
StormControlMib::Iterator iteratorAt(const StormControlMib::Table& table,
                                     const StormControlIfTableKey& key) {
  const WalkCursor& at = walkCursor;
  if (at.table == &table && at.version == table.version() && at.row->key() == key) {
    return table.iteratorOf(*at.row);
  }
  return table.iteratorAt(key);
}

/// A loop context at the row `key` names, or null (counted: found or not found).
Entry* contextAtKey(const netsnmp_iterator_info* iinfo, const StormControlIfTableKey& key) {
  try {
    StormControlMib::Iterator at = iteratorAt(tableOf(iinfo), key);
    if (at && at->key() == key) {
      count(iinfo, Counter::getFirstFromHint);
      return new Entry(std::move(at), Entry::loop);
    }
    SNMP_TRACE(2) << "breltaStormControlIfTable_get_first_data_point - key '" << key
                  << "' not found in table";
    count(iinfo, Counter::getFirstHintNotFound);
  } catch (const Qel::RangeException& e) {
    SNMP_TRACE(0) << "Bad hint for breltaStormControlIfTable: "
                     "StormControlSnmp::StormControlIfTableKey ctor threw exception: "
                  << e;
  }
  return nullptr;
}

netsnmp_variable_list* breltaStormControlIfTable_get_first_data_point(
    void** loop_context, void** /*data_context*/, netsnmp_variable_list* put_index_data,
    netsnmp_iterator_info* iinfo) {
  // The iterator is registered as sorted, so net-snmp passes the request's index values here.
  const auto* hint = static_cast<const netsnmp_table_request_info*>(*loop_context);
  SNMP_TRACE(2) << "breltaStormControlIfTable_get_first_data_point - *hint = " << ptr(hint)
                << ", number_indexes = " << (hint ? hint->number_indexes : 0);
  Entry* context = nullptr;
  if (const auto key = hintKey(hint)) context = contextAtKey(iinfo, *key);
  const bool hintMatched = context != nullptr;
  if (!context) {
    context = new Entry(tableOf(iinfo).begin(), Entry::loop);
    count(iinfo, Counter::getFirstFromStart);
  }
  SNMP_TRACE(2) << "breltaStormControlIfTable_get_first_data_point - allocated new loop context "
                << ptr(context) << ", hintMatched=" << std::boolalpha << hintMatched;
  *loop_context = context;
  return breltaStormControlIfTableIterationHelper(context, put_index_data);
}

netsnmp_variable_list* breltaStormControlIfTable_get_next_data_point(
    void** loop_context, void** data_context, netsnmp_variable_list* put_index_data,
    netsnmp_iterator_info* iinfo) {
  auto* context = static_cast<Entry*>(*loop_context);
  if (!context || !context->row()) {
    SNMP_TRACE(2) << "breltaStormControlIfTable_get_next_data_point - at end of loop context "
                  << ptr(context);
    count(iinfo, Counter::getNextWithoutContext);
    return nullptr;
  }
  SNMP_TRACE(2) << "breltaStormControlIfTable_get_next_data_point - advancing loop context "
                << ptr(context) << " ; data context " << ptr(*data_context);
  if (context->heldAs(Entry::data)) {
    // The record answers a request at its row: the loop goes on in a copy.
    context->release(Entry::loop);
    context = new Entry(context->iterator, Entry::loop);
    *loop_context = context;
  }
  ++context->iterator;
  count(iinfo, context->row() ? Counter::getNextRow : Counter::getNextPastLast);
  if (auto* data = static_cast<Entry*>(*data_context)) data->iterator = context->iterator;
  return breltaStormControlIfTableIterationHelper(context, put_index_data);
}

void* breltaStormControlIfTable_make_data_context(void* loop_context,
                                                  netsnmp_iterator_info* iinfo) {
  auto* loop = static_cast<Entry*>(loop_context);
  Entry* data = loop;
  if (loop->heldAs(Entry::data)) {
    data = new Entry(loop->iterator, Entry::data);
  } else {
    loop->holdAs(Entry::data);
  }
  walkCursor = {&tableOf(iinfo), data->row(), data->iterator.version()};
  SNMP_TRACE(2) << "breltaStormControlIfTable_make_data_context - allocated data context "
                << ptr(data) << " for loop context " << ptr(loop);
  return data;
}

void breltaStormControlIfTable_free_data_context(void* data_context,
                                                 netsnmp_iterator_info* /*iinfo*/) {
  SNMP_TRACE(2) << "breltaStormControlIfTable_free_data_context " << ptr(data_context);
  static_cast<Entry*>(data_context)->release(Entry::data);
}

void breltaStormControlIfTable_free_loop_context_at_end(void* loop_context,
                                                        netsnmp_iterator_info* /*iinfo*/) {
  SNMP_TRACE(2) << "breltaStormControlIfTable_free_loop_context_at_end " << ptr(loop_context);
  static_cast<Entry*>(loop_context)->release(Entry::loop);
}

// ======== request handler ===================================================================

/// Sets a Counter64 column; false when the value cannot be encoded.
bool setCounter64(netsnmp_variable_list* var, U64 value) {
  unsigned char buffer[valueBufferSize];
  const int length = U64ToCounter64F()(value, buffer, sizeof buffer);
  if (length < 0) return false;
  snmp_set_var_typed_value(var, ASN_COUNTER64, buffer, static_cast<size_t>(length));
  return true;
}

bool setLevel(netsnmp_variable_list* var, const StormControlIfTableEntry& row) {
  return setCounter64(var, row.thresholdLevel());
}

bool setUnits(netsnmp_variable_list* var, const StormControlIfTableEntry& row) {
  unsigned char buffer[valueBufferSize];
  const int length =
      StormControlThresholdTypeToAsnInteger(row.thresholdUnits(), buffer, sizeof buffer);
  if (length < 0) return false;
  snmp_set_var_typed_value(var, ASN_INTEGER, buffer, static_cast<size_t>(length));
  return true;
}

bool setDrops(netsnmp_variable_list* var, const StormControlIfTableEntry& row) {
  return setCounter64(var, row.drops());
}

/// A served column: its object, how its value is encoded, and the row's accessor it reads.
struct Column {
  const char* object;
  const char* encoder;
  const char* accessor;
  bool (*set)(netsnmp_variable_list* var, const StormControlIfTableEntry& row);
};

/// The served columns, by column number less `minColumn`.
constexpr Column columns[] = {
    {"breltaStormControlIfThresholdLevel", "U64ToCounter64", "thresholdLevel", setLevel},
    {"breltaStormControlIfThresholdUnits", "StormControlThresholdTypeToAsnInteger",
     "thresholdUnits", setUnits},
    {"breltaStormControlIfDrops", "U64ToCounter64", "drops", setDrops},
};

static_assert(std::size(columns) == Contract::columns.size() &&
              maxColumn - minColumn + 1 == Contract::columns.size());

enum class Answer { value, stop, fail };

/// Answers one GET for `column` of `row` into `request`.
Answer answerColumn(netsnmp_request_info* request, unsigned column,
                    const StormControlIfTableEntry& row) {
  if (column < minColumn || column > maxColumn) {
    SNMP_TRACE(0) << "breltaStormControlIfTable invalid column " << column;
    netsnmp_request_set_error(request, SNMP_NOSUCHOBJECT);
    return Answer::stop;
  }
  const Column& served = columns[column - minColumn];
  SNMP_TRACE(2) << "breltaStormControlIfTable_handler: request GET for column " << served.object
                << ", key " << row.key();
  if (served.set(request->requestvb, row)) return Answer::value;
  SNMP_TRACE(2) << "handle_breltaStormControlIfTable - " << served.encoder
                << " failed for: " << served.accessor;
  return Answer::fail;
}

unsigned columnOf(netsnmp_request_info* request) {
  const netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
  return info ? info->colnum : 0;
}

bool skipProcessed(const netsnmp_request_info* request) {
  if (!request->processed) return false;
  SNMP_TRACE(2) << "breltaStormControlIfTable_handler: request " << ptr(request)
                << " already processed";
  return true;
}

int answerGet(netsnmp_request_info* requests) {
  for (netsnmp_request_info* request = requests; request; request = request->next) {
    if (skipProcessed(request)) continue;
    const auto* data = static_cast<const Entry*>(netsnmp_extract_iterator_context(request));
    if (!data || !data->row()) {
      SNMP_TRACE(2) << "breltaStormControlIfTable_handler: null data context in request";
      return SNMP_ERR_NOERROR;
    }
    switch (answerColumn(request, columnOf(request), *data->row())) {
      case Answer::value:
        continue;
      case Answer::stop:
        return SNMP_ERR_NOERROR;
      case Answer::fail:
        netsnmp_request_set_error(requests, SNMP_ERR_GENERR);
        return SNMP_ERR_GENERR;
    }
  }
  return SNMP_ERR_NOERROR;
}

int refuseWrite(netsnmp_request_info* requests) {
  for (netsnmp_request_info* request = requests; request; request = request->next) {
    if (skipProcessed(request)) continue;
    SNMP_TRACE(0) << "breltaStormControlIfTable invalid column " << columnOf(request);
    netsnmp_request_set_error(request, SNMP_ERR_NOTWRITABLE);
    return SNMP_ERR_NOERROR;
  }
  return SNMP_ERR_NOERROR;
}

int breltaStormControlIfTable_handler(netsnmp_mib_handler* /*handler*/,
                                      netsnmp_handler_registration* /*reginfo*/,
                                      netsnmp_agent_request_info* reqinfo,
                                      netsnmp_request_info* requests) {
  SNMP_TRACE(2) << "breltaStormControlIfTable_handler";
  SNMP_TRACE(2) << "breltaStormControlIfTable_handler: request mode " << reqinfo->mode;
  return reqinfo->mode == MODE_GET ? answerGet(requests) : refuseWrite(requests);
}

// ======== registration ======================================================================

/// The registered entity, or a fatal stop with the configuration error on standard error.
Pondo::Ptr<StormControlMib> tableEntity() {
  Pondo::Ptr<Qel::Entity> entity = SnmpUtil::getEntityRelative(entityPath);
  if (!entity) {
    std::cerr << "Can not getEntityRelative( " << entityPath
              << " ) for table breltaStormControlIfTable. Is this path correct?" << std::endl;
  }
  PONDO_ASSERT(entity);
  auto mib = Pondo::dynamicPtrCast<StormControlMib>(entity);
  if (!mib) {
    std::cerr << entityPath << " does not appear to be of type StormControlSnmp::StormControlMib."
              << std::endl;
  }
  PONDO_ASSERT(mib);
  return mib;
}

netsnmp_column_info* newColumnInfo() {
  auto* columns = static_cast<netsnmp_column_info*>(calloc(1, sizeof(netsnmp_column_info)));
  columns->isRange = 0;
  columns->list_count = validColumns.size();
  columns->details.list = validColumns.data();
  columns->next = nullptr;
  return columns;
}

void addIndex(netsnmp_table_registration_info* tableInfo, const char* what,
              const Pondo::String& context) {
  if (snmp_varlist_add_variable(&tableInfo->indexes, nullptr, 0, ASN_INTEGER, nullptr, 0)) return;
  SNMP_TRACE(0) << "Failed to set up " << what << " in netsnmp table_info in context \"" << context
                << '"';
}

netsnmp_iterator_info* newIteratorInfo(netsnmp_table_registration_info* tableInfo, void* record) {
  auto* iinfo = static_cast<netsnmp_iterator_info*>(calloc(1, sizeof(netsnmp_iterator_info)));
  iinfo->get_first_data_point = breltaStormControlIfTable_get_first_data_point;
  iinfo->get_next_data_point = breltaStormControlIfTable_get_next_data_point;
  iinfo->make_data_context = breltaStormControlIfTable_make_data_context;
  iinfo->free_loop_context = nullptr;
  iinfo->free_data_context = breltaStormControlIfTable_free_data_context;
  iinfo->free_loop_context_at_end = breltaStormControlIfTable_free_loop_context_at_end;
  iinfo->myvoid = record;
  iinfo->flags = NETSNMP_ITERATOR_FLAG_SORTED | NETSNMP_HANDLER_OWNS_IINFO;
  iinfo->table_reginfo = tableInfo;
  iinfo->refcnt = 0;
  return iinfo;
}

/// The registration's table name: its name up to the first underscore.
Pondo::String tableNameOf(const netsnmp_handler_registration* registration) {
  const std::string_view name = registration->handlerName ? registration->handlerName : "";
  return Pondo::String(name.substr(0, name.find('_')));
}

template <class List>
List copyOf(const std::map<Pondo::String, List>& registry, const Pondo::String& context) {
  const auto it = registry.find(context);
  return it == registry.end() ? List() : it->second;
}

}  // namespace

// ======== entry points ======================================================================

void init_breltaStormControlMIB(Pondo::String context) {
  Snmp::Config::PtrConst config = SnmpUtil::getSnmpConfig();
  if (snmp_get_do_debugging()) {
    DEBUGMSGTL((mibName, "Initializing in context \"%s\"\n", context.c_str()));
  }
  initialize_table_breltaStormControlIfTable(config, context);
  Snmp::registerMibContext(context, mibName);
}

void initialize_table_breltaStormControlIfTable(Snmp::Config::PtrConst /*config*/,
                                                Pondo::String context) {
  if (snmpTrace.enabled(1)) {
    char oidText[200];
    snprint_objid(oidText, sizeof oidText, tableOid, tableOidLength);
    SNMP_TRACE(1) << "initialize_table_breltaStormControlIfTable initializing oid " << oidText
                  << " in context \"" << context << '"';
  }
  const std::string name = std::string(registrationPrefix) + context.c_str();
  netsnmp_handler_registration* registration = netsnmp_create_handler_registration(
      name.c_str(), breltaStormControlIfTable_handler, tableOid, tableOidLength, HANDLER_CAN_RONLY);
  if (context.size() != 0) {
    netsnmp_handler_registration_free(registration);
    SNMP_TRACE(2) << "initialize_table_breltaStormControlIfTable in context \"" << context
                  << "\" ledraPathWithContext not specified ";
    return;
  }
  handlerRegsByContext[context].push_back(registration);

  const Pondo::Ptr<StormControlMib> mib = tableEntity();
  const Pondo::Ptr<Snmp::RegVoidCollByContext> registry = regVoidRegistry();
  const Pondo::Ptr<Snmp::RegVoid> record = registry->addRegVoid(context, tableName, mib.get());
  registration->my_reg_void = record.get();

  auto* tableInfo = static_cast<netsnmp_table_registration_info*>(
      calloc(1, sizeof(netsnmp_table_registration_info)));
  netsnmp_column_info* columns = newColumnInfo();
  addIndex(tableInfo, "ifIndex", context);
  addIndex(tableInfo, "breltaStormControlIfTrafficClass", context);
  tableInfo->min_column = minColumn;
  tableInfo->max_column = maxColumn;
  tableInfo->valid_columns = columns;
  netsnmp_iterator_info* iinfo = newIteratorInfo(tableInfo, record.get());
  columnInfosByContext[context].push_back(columns);

  const int result = netsnmp_register_table_iterator(registration, iinfo);
  PONDO_ASSERT(result == MIB_REGISTERED_OK);
  const int injected = netsnmp_inject_handler(registration, netsnmp_get_serialize_handler());
  PONDO_ASSERT(injected == SNMPERR_SUCCESS);
  SNMP_TRACE(8) << "Initialized table breltaStormControlIfTable in context \"" << context << '"';
}

void unregister_breltaStormControlMIB(Pondo::String context) {
  SNMP_TRACE(2) << "Unregistering breltaStormControlMIB in context \"" << context << '"';
  const BreltaHandlerRegs registrations = copyOf(handlerRegsByContext, context);
  const Pondo::Ptr<Snmp::RegVoidCollByContext> registry = regVoidRegistry();
  for (netsnmp_handler_registration* registration : registrations) {
    registry->delRegVoid(context, tableNameOf(registration));
    netsnmp_unregister_handler(registration);
  }
  handlerRegsByContext.erase(context);
  if (context.size() == 0) walkCursor = {};

  for (netsnmp_column_info* columns : copyOf(columnInfosByContext, context)) {
    while (columns) free(std::exchange(columns, columns->next));
  }
  columnInfosByContext.erase(context);
  Snmp::unregisterMibContext(context, mibName);
}

const std::map<Pondo::String, BreltaHandlerRegs>& breltaStormControlMIBHandlerRegsByContext() {
  return handlerRegsByContext;
}

const std::map<Pondo::String, BreltaColumnInfos>& breltaStormControlMIBColumnInfosByContext() {
  return columnInfosByContext;
}
