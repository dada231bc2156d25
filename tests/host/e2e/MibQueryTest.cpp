// tests/host/e2e/MibQueryTest.cpp — querying the daemon with the MIB module loaded: snmptable
// finds the table by name and shows every row under the module's column and enumeration names.
///
/// The module comes from the repository's mibs/ folder (STORMCONTROL_MIB_DIR), the IETF modules
/// it imports from the net-snmp npm package that `make deps` installs (IETF_MIB_DIR).
#include <filesystem>
#include <sstream>

#include "DaemonTest.h"

namespace E2e {
namespace {

const char* const classNames[] = {"all", "broadcast", "multicast", "unknownUnicast"};
const char* const unitNames[] = {"percentage", "packetsPerSecond", "kilobitsPerSecond"};

/// What `snmptable -Ci -Cf ,` prints for `rows`: the title, the column names, then one line
/// per row with its index as ifIndex.className and the drops with the column's units.
std::string expectedTable(const std::vector<Row>& rows) {
  std::ostringstream out;
  out << "SNMP table: BRELTA-STORM-CONTROL-MIB::breltaStormControlIfTable\n\n"
      << "index,breltaStormControlIfThresholdLevel,breltaStormControlIfThresholdUnits,"
         "breltaStormControlIfDrops\n";
  for (const Row& row : rows) {
    out << row.ifIndex << '.' << classNames[row.trafficClass] << ',' << row.level << ','
        << unitNames[row.units] << ',' << row.drops << " packets\n";
  }
  return out.str();
}

/// The client's standard error less the note that it created its persistent directory: what
/// is left are complaints, such as a module that does not load.
std::string complaints(const std::string& err) {
  std::istringstream in(err);
  std::string left;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("Created directory: ")) continue;
    left += line + '\n';
  }
  return left;
}

class MibQueryTest : public DaemonTest {};

// snmptable with the module loaded reads the whole sample state under the module's names, and
// loading the module prints no complaint.
TEST_F(MibQueryTest, SnmptableShowsNamedColumnsAndClasses) {
  ASSERT_TRUE(std::filesystem::is_directory(IETF_MIB_DIR))
      << IETF_MIB_DIR << " is missing: run `make deps` to install the IETF MIB modules";
  const SwitchState state = sampleState();
  ASSERT_NO_FATAL_FAILURE(startWithState(state));

  const ProcessResult table =
      runProcess({"snmptable", "-v2c", "-c", "public", "-t", "5", "-r", "2", "-M",
                  std::string("+") + STORMCONTROL_MIB_DIR + ":" + IETF_MIB_DIR, "-m",
                  "BRELTA-STORM-CONTROL-MIB", "-Ci", "-Cf", ",", daemon_.agent(),
                  "BRELTA-STORM-CONTROL-MIB::breltaStormControlIfTable"},
                 daemon_.environment(), std::chrono::minutes(2));
  ASSERT_TRUE(table.ok()) << table.describe();
  EXPECT_EQ(complaints(table.err), "");
  EXPECT_EQ(table.out, expectedTable(expectedRows(state)));
}

}  // namespace
}  // namespace E2e
