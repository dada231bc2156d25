// tests/host/e2e/VarBind.h — one variable of an SNMP client's answer, parsed from its output.
///
/// The clients run with `-On -Oe` and no MIB, so every answer line reads
/// `.1.3.6.1... = TYPE: VALUE` or `.1.3.6.1... = <exception text>`. OIDs keep their arcs as
/// unsigned numbers so that comparisons follow SNMP's lexicographic order.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace E2e {

using Oid = std::vector<std::uint64_t>;

/// Parses ".1.3.6" or "1.3.6"; nullopt when the text is not a numeric OID.
std::optional<Oid> parseOid(std::string_view text);
std::string oidText(const Oid& oid);
bool startsWith(const Oid& oid, const Oid& prefix);
Oid concat(const Oid& prefix, std::initializer_list<std::uint64_t> arcs);

/// What the variable carries: a value, or one of SNMPv2's three exceptions.
enum class VarKind { value, noSuchObject, noSuchInstance, endOfMibView };

struct VarBind {
  Oid oid;
  VarKind kind = VarKind::value;
  std::string type;   // "Counter64", "INTEGER", ...; empty for exceptions
  std::string value;  // the value as printed

  friend bool operator==(const VarBind&, const VarBind&) = default;
};

/// Parses one answer line; nullopt when the line is not a variable.
std::optional<VarBind> parseVarBind(std::string_view line);

/// Every variable line of a client's standard output, in order; lines that are not variables
/// (errors, blank lines) are skipped.
std::vector<VarBind> parseVarBinds(std::string_view output);

std::string describe(const VarBind& vb);
std::string describe(const std::vector<VarBind>& vbs);

}  // namespace E2e
