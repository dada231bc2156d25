// tests/host/e2e/VarBind.cpp — parsing of the snmp clients' `-On -Oe` output lines.
#include "VarBind.h"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace E2e {

std::optional<Oid> parseOid(std::string_view text) {
  if (text.starts_with('.')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  Oid oid;
  while (!text.empty()) {
    std::uint64_t arc = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), arc);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    oid.push_back(arc);
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (text.empty()) break;
    if (text.front() != '.' || text.size() == 1) return std::nullopt;
    text.remove_prefix(1);
  }
  return oid;
}

std::string oidText(const Oid& oid) {
  std::string text;
  for (const auto arc : oid) text += "." + std::to_string(arc);
  return text;
}

bool startsWith(const Oid& oid, const Oid& prefix) {
  return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

Oid concat(const Oid& prefix, std::initializer_list<std::uint64_t> arcs) {
  Oid oid = prefix;
  oid.insert(oid.end(), arcs);
  return oid;
}

namespace {

std::optional<VarKind> exceptionKind(std::string_view text) {
  if (text.starts_with("No Such Object")) return VarKind::noSuchObject;
  if (text.starts_with("No Such Instance")) return VarKind::noSuchInstance;
  if (text.starts_with("No more variables left")) return VarKind::endOfMibView;
  return std::nullopt;
}

}  // namespace

std::optional<VarBind> parseVarBind(std::string_view line) {
  const auto eq = line.find(" = ");
  if (eq == std::string_view::npos) return std::nullopt;
  auto oid = parseOid(line.substr(0, eq));
  if (!oid) return std::nullopt;
  VarBind vb;
  vb.oid = std::move(*oid);
  const std::string_view rest = line.substr(eq + 3);
  if (const auto kind = exceptionKind(rest)) {
    vb.kind = *kind;
    return vb;
  }
  const auto colon = rest.find(": ");
  if (colon == std::string_view::npos) {
    vb.value = std::string(rest);  // e.g. `""` for an empty string
    return vb;
  }
  vb.type = std::string(rest.substr(0, colon));
  vb.value = std::string(rest.substr(colon + 2));
  return vb;
}

std::vector<VarBind> parseVarBinds(std::string_view output) {
  std::vector<VarBind> vbs;
  while (!output.empty()) {
    const auto nl = output.find('\n');
    const std::string_view line = output.substr(0, nl);
    if (auto vb = parseVarBind(line)) vbs.push_back(std::move(*vb));
    if (nl == std::string_view::npos) break;
    output.remove_prefix(nl + 1);
  }
  return vbs;
}

std::string describe(const VarBind& vb) {
  switch (vb.kind) {
    case VarKind::noSuchObject:
      return oidText(vb.oid) + " = noSuchObject";
    case VarKind::noSuchInstance:
      return oidText(vb.oid) + " = noSuchInstance";
    case VarKind::endOfMibView:
      return oidText(vb.oid) + " = endOfMibView";
    case VarKind::value:
      break;
  }
  return oidText(vb.oid) + " = " + vb.type + ": " + vb.value;
}

std::string describe(const std::vector<VarBind>& vbs) {
  std::ostringstream out;
  for (const auto& vb : vbs) out << "  " << describe(vb) << '\n';
  return out.str();
}

}  // namespace E2e
