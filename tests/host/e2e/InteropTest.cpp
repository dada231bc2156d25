// tests/host/e2e/InteropTest.cpp — the table as an independent SNMP stack reads it: the npm
// package net-snmp (JavaScript, its own BER and USM code) walks it with GETNEXT and with
// GETBULK, over SNMPv2c and SNMPv3 authPriv, and must see every OID, type and value exactly as
// snmpbulkwalk does, Counter64 values near 2^64 and ifIndex arcs of 2^31 and more included.
///
/// The walks run `interop/walk.js` (INTEROP_WALK_JS) with the package `make deps` installs
/// (NPM_NET_SNMP_DIR); its lines read `OID TYPE VALUE` with the package's type names.
#include <algorithm>
#include <filesystem>
#include <limits>
#include <sstream>

#include "DaemonTest.h"
#include "TempDir.h"

namespace E2e {
namespace {

constexpr std::uint64_t u64max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t twoTo53 = 1ULL << 53;
constexpr std::uint64_t twoTo63 = 1ULL << 63;

/// Counter64 values that a client keeping them as doubles or signed 64-bit numbers would alter.
const std::vector<std::uint64_t> extremeCounters{u64max, u64max - 1, twoTo63, twoTo63 - 1,
                                                 twoTo53 + 1};

/// sampleState with two more interfaces carrying the extreme counters, at ifIndexes whose OID
/// arcs need all 32 bits.
SwitchState extremeState() {
  SwitchState s = sampleState();
  s.interfaces["Ethernet8/1"] = 1U << 31;
  s.interfaces["Ethernet8/2"] = std::numeric_limits<std::uint32_t>::max();
  s.status["slice0"]["Ethernet8/1"] = {ClassValues{u64max - 1, 1, {}, twoTo63},
                                       ClassValues{twoTo53 + 1, 2, {}, twoTo53 + 1},
                                       ClassValues{twoTo63 - 1, 1, {}, u64max - 1}, std::nullopt};
  s.status["slice1"]["Ethernet8/2"] = {ClassValues{twoTo63, 1, {}, twoTo63 - 1}, std::nullopt,
                                       std::nullopt, ClassValues{u64max, 2, {}, u64max}};
  return s;
}

bool hasCounter64(const std::vector<VarBind>& vars, std::uint64_t value) {
  return std::ranges::any_of(vars, [&](const VarBind& vb) {
    return vb.type == "Counter64" && vb.value == std::to_string(value);
  });
}

/// The npm package's names for the types snmpbulkwalk prints in the table's columns.
std::string npmTypeName(const std::string& type) {
  if (type == "INTEGER") return "Integer";
  if (type == "Counter64") return "Counter64";
  return "unexpected type " + type;
}

/// snmpbulkwalk's variables with the npm package's type names.
std::vector<VarBind> withNpmTypes(std::vector<VarBind> vars) {
  for (VarBind& vb : vars) vb.type = npmTypeName(vb.type);
  return vars;
}

/// walk.js's `OID TYPE VALUE` lines as variables; a line of another form fails the test.
std::vector<VarBind> parseNpmLines(const std::string& out) {
  std::vector<VarBind> vars;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string oid;
    VarBind vb;
    fields >> oid >> vb.type >> vb.value;
    const auto parsed = parseOid(oid);
    if (!parsed || vb.value.empty() || !fields.eof()) {
      ADD_FAILURE() << "not an `OID TYPE VALUE` line: " << line;
      continue;
    }
    vb.oid = *parsed;
    vars.push_back(std::move(vb));
  }
  return vars;
}

/// One way of reaching the agent, for snmpbulkwalk and for walk.js.
struct Credentials {
  std::string name;
  std::vector<std::string> snmpClient;
  std::vector<std::string> walkJs;
};

const std::vector<Credentials> credentials{
    {"SNMPv2c", {"-v2c", "-c", "public"}, {"--community", "public"}},
    {"SNMPv3 authPriv SHA-256 AES",
     {"-v3", "-l", "authPriv", "-u", "op", "-a", "SHA-256", "-A", "authpass12", "-x", "AES", "-X",
      "privpass12"},
     {"--user", "op", "--auth", "sha256", "--auth-key", "authpass12", "--priv", "aes", "--priv-key",
      "privpass12"}},
};

class InteropTest : public DaemonTest {
 protected:
  /// walk.js in `mode` ("getnext" or "bulk") over the table with `auth`.
  ProcessResult npmWalk(const std::string& mode, const std::vector<std::string>& auth) const {
    std::vector<std::string> argv{"node",    INTEROP_WALK_JS,
                                  "--mode",  mode,
                                  "--agent", "127.0.0.1:" + std::to_string(daemon_.port()),
                                  "--oid",   oidText(tableOid).substr(1)};
    // 7 repetitions end requests inside rows and columns, and the last one past the table.
    if (mode == "bulk") argv.insert(argv.end(), {"--max-repetitions", "7"});
    argv.insert(argv.end(), auth.begin(), auth.end());
    return runProcess(argv, {}, std::chrono::minutes(2));
  }
};

// Both clients, each walk mode, both versions: the npm package reads exactly the variables
// snmpbulkwalk reads, which are the state's table with its extreme counters.
TEST_F(InteropTest, NpmClientReadsWhatSnmpbulkwalkReads) {
  ASSERT_TRUE(std::filesystem::is_directory(NPM_NET_SNMP_DIR))
      << NPM_NET_SNMP_DIR << " is missing: run `make deps` to install the npm package net-snmp";
  const std::string config = daemon_.dir().file("agent.conf");
  writeFileAtomically(config,
                      "rocommunity public 127.0.0.1\n"
                      "createUser op SHA-256 authpass12 AES privpass12\n"
                      "rouser op priv\n");
  const SwitchState state = extremeState();
  ASSERT_NO_FATAL_FAILURE(startWithState(state, {"-C", config}));
  const std::vector<VarBind> table = tableVars(expectedRows(state));

  for (const Credentials& auth : credentials) {
    const ClientResult reference = SnmpClient(daemon_, auth.snmpClient).bulkWalk();
    ASSERT_TRUE(succeeded(reference)) << auth.name;
    ASSERT_TRUE(sameVars(reference.vars, table)) << auth.name;
    for (const std::uint64_t value : extremeCounters) {
      EXPECT_TRUE(hasCounter64(reference.vars, value)) << value << " is not in the walked table";
    }
    const std::vector<VarBind> expected = withNpmTypes(reference.vars);
    for (const std::string mode : {"getnext", "bulk"}) {
      const ProcessResult walk = npmWalk(mode, auth.walkJs);
      ASSERT_TRUE(walk.ok() && walk.err.empty()) << walk.describe();
      EXPECT_TRUE(sameVars(parseNpmLines(walk.out), expected)) << auth.name << ", " << mode;
    }
  }
}

}  // namespace
}  // namespace E2e
