// host/ifmib/InterfaceNames.cpp — IF-MIB's ifNumber, ifIndex, ifDescr and ifName, answered from
// an ifIndex-ordered copy of the interface MIB model's map.
///
/// Each column is a registration of its own at the column's OID, answered by one bare handler
/// (no table helper: the copy is ordered the way the requests walk it):
/// - GET needs an exact instance, column.ifIndex of a served interface; else noSuchInstance.
/// - GETNEXT answers the first served ifIndex after the request's index (the first of all for a
///   name before the column or the column itself); past the last it leaves the request as it
///   is, and the agent moves on to the next registration. GETBULK arrives as GETNEXT: the
///   registrations do not take it themselves.
/// - SET is refused, notWritable.
/// ifNumber is a scalar, through net-snmp's scalar helper.
// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "host/ifmib/InterfaceNames.h"

#include <algorithm>
#include <array>

#include "StormControlSnmp/StormControlSnmpContract.h"

namespace Contract = StormControlSnmp::Contract;

namespace Host {

namespace {

/// IF-MIB's InterfaceIndex: 1 to 2147483647.
constexpr U32 maxInterfaceIndex = 0x7fffffff;
/// DisplayString's longest.
constexpr std::size_t maxDisplayString = 255;

enum { ifIndexColumn, ifDescrColumn, ifNameColumn };

/// The handler of one column, `Column` naming which.
template <int Column>
struct ColumnHandler {
  using Rows = InterfaceNames::Rows;

  /// The row GETNEXT answers for `name` in the column `column`, or the end.
  static Rows::const_iterator next(const Rows& rows, const oid* column, std::size_t columnLen,
                                   const oid* name, std::size_t len) {
    const int order = snmp_oid_compare(name, std::min(len, columnLen), column, columnLen);
    if (order < 0 || (order == 0 && len == columnLen)) return rows.begin();
    if (order > 0 || name[columnLen] > maxInterfaceIndex) return rows.end();
    return rows.upper_bound(U32(name[columnLen]));
  }

  /// The row `name` names exactly in the column `column`, or the end.
  static Rows::const_iterator exact(const Rows& rows, std::size_t columnLen, const oid* name,
                                    std::size_t len) {
    if (len != columnLen + 1 || name[columnLen] > maxInterfaceIndex) return rows.end();
    return rows.find(U32(name[columnLen]));
  }

  static void setValue(netsnmp_variable_list* var, const Rows::value_type& row) {
    if (Column == ifIndexColumn) {
      const long ifIndex = row.first;
      snmp_set_var_typed_value(var, ASN_INTEGER, &ifIndex, sizeof ifIndex);
      return;
    }
    const std::string_view name = row.second.stringValue().view();
    snmp_set_var_typed_value(var, ASN_OCTET_STR, name.data(),
                             std::min(name.size(), maxDisplayString));
  }

  static int handle(netsnmp_mib_handler* handler, netsnmp_handler_registration* registration,
                    netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
    const Rows& rows = *static_cast<const Rows*>(handler->myvoid);
    const oid* column = registration->rootoid;
    const std::size_t columnLen = registration->rootoid_len;
    for (netsnmp_request_info* request = requests; request; request = request->next) {
      if (request->processed) continue;
      netsnmp_variable_list* var = request->requestvb;
      if (reqinfo->mode == MODE_GETNEXT) {
        const auto row = next(rows, column, columnLen, var->name, var->name_length);
        if (row == rows.end()) continue;
        std::array<oid, MAX_OID_LEN> instance{};
        std::copy(column, column + columnLen, instance.begin());
        instance[columnLen] = row->first;
        snmp_set_var_objid(var, instance.data(), columnLen + 1);
        setValue(var, *row);
        continue;
      }
      if (reqinfo->mode != MODE_GET) {
        netsnmp_set_request_error(reqinfo, request, SNMP_ERR_NOTWRITABLE);
        continue;
      }
      const auto row = exact(rows, columnLen, var->name, var->name_length);
      if (row == rows.end()) {
        netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
        continue;
      }
      setValue(var, *row);
    }
    return SNMP_ERR_NOERROR;
  }
};

/// ifNumber.0, which the scalar helper hands over as a GET.
int handleIfNumber(netsnmp_mib_handler* handler, netsnmp_handler_registration*,
                   netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
  if (reqinfo->mode != MODE_GET) return SNMP_ERR_NOERROR;
  const long count = long(static_cast<const InterfaceNames::Rows*>(handler->myvoid)->size());
  snmp_set_var_typed_value(requests->requestvb, ASN_INTEGER, &count, sizeof count);
  return SNMP_ERR_NOERROR;
}

template <std::size_t N>
netsnmp_handler_registration* registration(const char* name, Netsnmp_Node_Handler* handler,
                                           const std::array<oid, N>& at,
                                           InterfaceNames::Rows* rows) {
  netsnmp_handler_registration* r =
      netsnmp_create_handler_registration(name, handler, at.data(), N, HANDLER_CAN_RONLY);
  if (!r) return r;
  r->handler->myvoid = rows;  // only read
  // Ahead of a master agent's own registration of the same object (its ifNumber), which would
  // otherwise refuse a subagent's as a duplicate.
  r->priority = DEFAULT_MIB_PRIORITY - 1;
  return r;
}

}  // namespace

InterfaceNames::InterfaceNames(Pondo::Ptr<IntfSnmp::IfMib> ifMib) : ifMib_(std::move(ifMib)) {
  for (auto it = ifMib_->ifIndexByIntfId().begin(); it; ++it) insert(it.value(), it.key());
  ifMib_->publisher()->subscriberAdd(subscriber_, false);
  add(registration("ifNumber", handleIfNumber, Contract::ifNumberOid, &rows_), true);
  add(registration("ifIndex", ColumnHandler<ifIndexColumn>::handle, Contract::ifIndexOid, &rows_),
      false);
  add(registration("ifDescr", ColumnHandler<ifDescrColumn>::handle, Contract::ifDescrOid, &rows_),
      false);
  add(registration("ifName", ColumnHandler<ifNameColumn>::handle, Contract::ifNameOid, &rows_),
      false);
}

InterfaceNames::~InterfaceNames() {
  for (netsnmp_handler_registration* r : registered_) netsnmp_unregister_handler(r);
}

void InterfaceNames::add(netsnmp_handler_registration* registration, bool scalar) {
  // A refused registration is freed by net-snmp.
  const char* name = registration ? registration->handlerName : "IF-MIB";
  const int status = scalar ? netsnmp_register_read_only_scalar(registration)
                            : netsnmp_register_handler(registration);
  if (status != MIB_REGISTERED_OK) {
    snmp_log(LOG_ERR, "cannot register %s\n", name);
    return;
  }
  registered_.push_back(registration);
}

void InterfaceNames::onChange(void* self, const Pondo::Change& change) {
  if (change.attribute != IntfSnmp::IfMib::ifIndexByIntfIdAttr) return;
  auto& names = *static_cast<InterfaceNames*>(self);
  const auto& id = *static_cast<const Lumo::IntfId*>(change.key);
  if (change.previous) names.erase(*static_cast<const U32*>(change.previous), id);
  if (const U32Optional ifIndex = names.ifMib_->ifIndexByIntfId(id)) {
    names.insert(ifIndex.value(), id);
  }
}

void InterfaceNames::insert(U32 ifIndex, const Lumo::IntfId& id) {
  if (ifIndex <= maxInterfaceIndex) rows_.emplace(ifIndex, id);
}

void InterfaceNames::erase(U32 ifIndex, const Lumo::IntfId& id) {
  const auto [first, last] = rows_.equal_range(ifIndex);
  const auto row = std::find_if(first, last, [&id](const auto& r) { return r.second == id; });
  if (row != last) rows_.erase(row);
}

}  // namespace Host
