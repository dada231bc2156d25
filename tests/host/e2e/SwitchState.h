// tests/host/e2e/SwitchState.h — a switch's state as the tests write it, and the table it means.
///
/// Tests describe the state in this model, write it as the daemon's JSON state file, and
/// derive the table the daemon must serve from the same model: four rows per interface that
/// has both an ifIndex and a status, ordered by (ifIndex as unsigned, traffic class).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "VarBind.h"

namespace E2e {

/// One traffic class's fields; an absent field takes the model's default.
struct ClassValues {
  std::optional<std::uint64_t> level;
  std::optional<std::uint64_t> units;
  std::optional<std::uint64_t> scale;
  std::optional<std::uint64_t> drops;
};

/// The four classes (all, broadcast, multicast, unknownUnicast) of one interface; an absent
/// class is left out of the file and takes all defaults.
using IntfClasses = std::array<std::optional<ClassValues>, 4>;

struct SwitchState {
  std::map<std::string, std::uint32_t> interfaces;                   // name to ifIndex
  std::map<std::string, std::map<std::string, IntfClasses>> status;  // entity, interface

  std::string json() const;
};

/// One row of the table as an SNMP manager reads it.
struct Row {
  std::uint32_t ifIndex = 0;
  unsigned trafficClass = 0;
  std::uint64_t level = 0;  // 0 while the class's threshold is the model's default
  std::uint64_t units = 0;
  std::uint64_t drops = 0;

  friend bool operator==(const Row&, const Row&) = default;
};

/// The rows the state means, in index order. An interface may have a status in one entity only.
std::vector<Row> expectedRows(const SwitchState& state);

/// The OID arc of an ifIndex in a row's index.
std::uint64_t ifIndexArc(std::uint32_t ifIndex);

/// The variables a full walk of the table returns for `rows`: column 2, then 3, then 4.
std::vector<VarBind> tableVars(const std::vector<Row>& rows);
/// The variables of one column.
std::vector<VarBind> columnVars(const std::vector<Row>& rows, unsigned column);
VarBind cellVar(const Row& row, unsigned column);

/// A state with a mix of configured and default classes over two status entities,
/// interfaces without a status, a status without an interface, and extreme counter values.
SwitchState sampleState();

/// The name of the `n`th interface of `largeState`.
std::string numberedIntf(std::uint32_t n);
/// `count` interfaces with ifIndexes 1 to `count`, each with a status, spread over "slice0"
/// (odd ifIndexes) and "slice1" (even ones).
SwitchState largeState(std::uint32_t count);

}  // namespace E2e
