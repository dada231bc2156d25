// tests/host/e2e/SwitchState.cpp — state files and the tables they mean.
#include "SwitchState.h"

#include <algorithm>
#include <limits>
#include <set>
#include <stdexcept>

#include "SnmpClient.h"

namespace E2e {

namespace {

constexpr std::array<const char*, 4> classNames{"all", "broadcast", "multicast", "unknownUnicast"};

// The threshold an unconfigured class holds (Bridging/Threshold.h).
constexpr std::uint64_t defaultLevel = 10000;
constexpr std::uint64_t defaultUnits = 0;
constexpr std::uint64_t defaultScale = 4;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string classJson(const ClassValues& values) {
  std::string fields;
  const auto add = [&](const char* name, const std::optional<std::uint64_t>& field) {
    if (!field) return;
    fields += (fields.empty() ? "" : ", ") + quoted(name) + ": " + std::to_string(*field);
  };
  add("level", values.level);
  add("units", values.units);
  add("scale", values.scale);
  add("drops", values.drops);
  return "{" + fields + "}";
}

std::string intfJson(const IntfClasses& classes) {
  std::string members;
  for (std::size_t c = 0; c < classes.size(); ++c) {
    if (!classes[c]) continue;
    members += std::string(members.empty() ? "" : ",") + "\n        " + quoted(classNames[c]) +
               ": " + classJson(*classes[c]);
  }
  return "{" + members + (members.empty() ? "}" : "\n      }");
}

Row rowOf(std::uint32_t ifIndex, unsigned trafficClass, const std::optional<ClassValues>& given) {
  const ClassValues values = given.value_or(ClassValues{});
  const std::uint64_t level = values.level.value_or(defaultLevel);
  const std::uint64_t units = values.units.value_or(defaultUnits);
  const std::uint64_t scale = values.scale.value_or(defaultScale);
  const bool isDefault = level == defaultLevel && units == defaultUnits && scale == defaultScale;
  return Row{ifIndex, trafficClass, isDefault ? 0 : level, units, values.drops.value_or(0)};
}

}  // namespace

std::string SwitchState::json() const {
  std::string text = "{\n  \"interfaces\": {";
  bool first = true;
  for (const auto& [name, ifIndex] : interfaces) {
    text +=
        std::string(first ? "" : ",") + "\n    " + quoted(name) + ": " + std::to_string(ifIndex);
    first = false;
  }
  text += "\n  },\n  \"status\": {";
  first = true;
  for (const auto& [entity, intfs] : status) {
    text += std::string(first ? "" : ",") + "\n    " + quoted(entity) + ": {";
    bool firstIntf = true;
    for (const auto& [intf, classes] : intfs) {
      text +=
          std::string(firstIntf ? "" : ",") + "\n      " + quoted(intf) + ": " + intfJson(classes);
      firstIntf = false;
    }
    text += "\n    }";
    first = false;
  }
  return text + "\n  }\n}\n";
}

std::vector<Row> expectedRows(const SwitchState& state) {
  std::vector<Row> rows;
  std::set<std::string> seen;
  for (const auto& [entity, intfs] : state.status) {
    for (const auto& [intf, classes] : intfs) {
      if (!seen.insert(intf).second) {
        throw std::logic_error(intf + " has a status in two entities; the table is ambiguous");
      }
      const auto found = state.interfaces.find(intf);
      if (found == state.interfaces.end()) continue;
      for (unsigned c = 0; c < 4; ++c) rows.push_back(rowOf(found->second, c, classes[c]));
    }
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::pair(a.ifIndex, a.trafficClass) < std::pair(b.ifIndex, b.trafficClass);
  });
  return rows;
}

std::uint64_t ifIndexArc(std::uint32_t ifIndex) { return ifIndex; }

VarBind cellVar(const Row& row, unsigned column) {
  VarBind vb;
  vb.oid = cellOid(column, ifIndexArc(row.ifIndex), row.trafficClass);
  switch (column) {
    case 2:
      vb.type = "Counter64";
      vb.value = std::to_string(row.level);
      break;
    case 3:
      vb.type = "INTEGER";
      vb.value = std::to_string(row.units);
      break;
    case 4:
      vb.type = "Counter64";
      vb.value = std::to_string(row.drops);
      break;
    default:
      throw std::logic_error("the table has columns 2 to 4");
  }
  return vb;
}

std::vector<VarBind> columnVars(const std::vector<Row>& rows, unsigned column) {
  std::vector<VarBind> vars;
  for (const auto& row : rows) vars.push_back(cellVar(row, column));
  return vars;
}

std::vector<VarBind> tableVars(const std::vector<Row>& rows) {
  std::vector<VarBind> vars;
  for (unsigned column = 2; column <= 4; ++column) {
    const auto col = columnVars(rows, column);
    vars.insert(vars.end(), col.begin(), col.end());
  }
  return vars;
}

SwitchState sampleState() {
  constexpr auto u64max = std::numeric_limits<std::uint64_t>::max();
  SwitchState s;
  s.interfaces = {{"Ethernet1/1", 1},       {"Ethernet1/2", 2},    {"Ethernet1/3", 3},
                  {"Ethernet1/10", 10},     {"Ethernet2/1", 1001}, {"Ethernet9/9", 99},
                  {"Port-Channel5", 100005}};
  s.status["slice0"] = {
      {"Ethernet1/1",
       {ClassValues{500, 1, 4, 12}, ClassValues{{}, {}, {}, 3}, ClassValues{},
        ClassValues{1000, 2, {}, {}}}},
      // Default level with other units or scale is a configured threshold: level reported.
      {"Ethernet1/10",
       {ClassValues{{}, {}, 5, {}}, ClassValues{10000, 1, {}, 7}, ClassValues{10000, 0, 4, 8},
        std::nullopt}},
      {"Ethernet7/7", {ClassValues{42, 1, {}, 42}, {}, {}, {}}},  // no ifIndex: no rows
  };
  s.status["slice1"] = {
      {"Ethernet1/2",
       {ClassValues{u64max, 2, 255, u64max}, ClassValues{0, 0, 0, 0},
        ClassValues{1ULL << 32, 1, 4, (1ULL << 32) + 1}, ClassValues{1, 1, 1, 1}}},
      {"Ethernet1/3", {}},  // every class left out: all defaults
      {"Ethernet2/1", {ClassValues{2500, 1, 4, 250}, {}, ClassValues{{}, {}, {}, 99}, {}}},
      {"Port-Channel5", {ClassValues{{}, 2, {}, {}}, {}, {}, ClassValues{{}, {}, {}, 5}}},
  };
  return s;
}

std::string numberedIntf(std::uint32_t n) {
  return "Ethernet" + std::to_string(n / 48 + 1) + "/" + std::to_string(n % 48);
}

SwitchState largeState(std::uint32_t count) {
  SwitchState s;
  for (std::uint32_t i = 1; i <= count; ++i) {
    const std::string name = numberedIntf(i);
    s.interfaces[name] = i;
    s.status[i % 2 ? "slice0" : "slice1"][name] = {
        ClassValues{i, i % 3, {}, i * 7}, {}, {}, ClassValues{{}, {}, {}, i}};
  }
  return s;
}

}  // namespace E2e
