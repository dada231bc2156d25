// tests/host/e2e/SnmpV3Test.cpp — SNMPv3 users from -C, and the engine state kept in the
// persistent directory across restarts.
#include <signal.h>

#include "DaemonTest.h"
#include "TempDir.h"

namespace E2e {
namespace {

const Oid engineIdOid{1, 3, 6, 1, 6, 3, 10, 2, 1, 1, 0};
const Oid engineBootsOid{1, 3, 6, 1, 6, 3, 10, 2, 1, 2, 0};

/// A user of the configuration below: name, authentication protocol and passphrases.
struct User {
  std::string name;
  std::string auth;
  std::string authPass;
  std::string privPass;
};

const User op{"op", "SHA-256", "authpass12", "privpass12"};
const User legacy{"legacy", "SHA", "authpass34", "privpass34"};

std::string userLines(const User& user) {
  return "createUser " + user.name + " " + user.auth + " " + user.authPass + " AES " +
         user.privPass + "\nrouser " + user.name + " priv\n";
}

/// The client's arguments for `user` at security level authPriv.
std::vector<std::string> authPriv(const User& user) {
  return {"-v3", "-l",          "authPriv", "-u",  user.name, "-a",         user.auth,
          "-A",  user.authPass, "-x",       "AES", "-X",      user.privPass};
}

class SnmpV3Test : public DaemonTest {
 protected:
  std::string configPath() const { return daemon_.dir().file("v3.conf"); }
  /// Writes a configuration with `users` only: no community, so SNMPv1 and v2c get nothing.
  void writeConfig(const std::vector<User>& users) const {
    std::string text;
    for (const User& user : users) text += userLines(user);
    writeFileAtomically(configPath(), text);
  }

  /// snmpEngineID and snmpEngineBoots as `user` reads them; the ID printed on one line.
  std::pair<std::string, std::string> engineState(const User& user) const {
    const ClientResult got = SnmpClient(daemon_, authPriv(user))
                                 .run("snmpget", {"--hexOutputLength=0"},
                                      {oidText(engineIdOid), oidText(engineBootsOid)});
    EXPECT_TRUE(succeeded(got));
    if (got.vars.size() != 2) {
      ADD_FAILURE() << got.describe();
      return {};
    }
    EXPECT_EQ(got.vars[0].type, "Hex-STRING") << got.describe();
    EXPECT_EQ(got.vars[1].type, "INTEGER") << got.describe();
    return {got.vars[0].value, got.vars[1].value};
  }

  const SwitchState state_ = sampleState();
};

// Users with SHA-256 or SHA and AES read the whole table at authPriv. Wrong passphrases, an
// unknown user, a lower security level than `rouser ... priv` asks for and a community get
// nothing, each for its own reason.
TEST_F(SnmpV3Test, AuthPrivUsersReadAndNothingWeakerGetsIn) {
  writeConfig({op, legacy});
  ASSERT_NO_FATAL_FAILURE(startWithState(state_, {"-C", configPath()}));
  const std::vector<VarBind> table = tableVars(expectedRows(state_));
  for (const User& user : {op, legacy}) {
    const ClientResult walk = SnmpClient(daemon_, authPriv(user)).bulkWalk();
    ASSERT_TRUE(succeeded(walk)) << user.name;
    EXPECT_TRUE(sameVars(walk.vars, table)) << user.name;
  }

  User wrongAuth = op;
  wrongAuth.authPass = "authpass99";
  User wrongPriv = op;
  wrongPriv.privPass = "privpass99";
  User unknown = op;
  unknown.name = "nobody";
  // A wrong privacy passphrase decrypts to garbage, which net-snmp drops unanswered; so do
  // unknown communities.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
      {authPriv(wrongAuth), "Authentication failure"},
      {authPriv(wrongPriv), "Timeout"},
      {authPriv(unknown), "Unknown user name"},
      {{"-v3", "-l", "authNoPriv", "-u", op.name, "-a", op.auth, "-A", op.authPass},
       "authorizationError"},
      {{"-v3", "-l", "noAuthNoPriv", "-u", op.name}, "authorizationError"},
      {{"-v2c", "-c", "public"}, "Timeout"},
  };
  const Oid cell = table.front().oid;
  const std::vector<std::string> noRetry{"-t", "1", "-r", "0"};  // when no answer is expected
  for (const auto& [auth, reason] : refused) {
    const ClientResult got =
        SnmpClient(daemon_, auth)
            .run("snmpget", reason == "Timeout" ? noRetry : std::vector<std::string>{},
                 {oidText(cell)});
    EXPECT_FALSE(got.ok()) << got.describe();
    EXPECT_TRUE(got.vars.empty()) << got.describe();
    EXPECT_NE(got.process.err.find(reason), std::string::npos) << got.describe();
  }
}

// Every start counts in snmpEngineBoots, a killed one too, and snmpEngineID stays, in a
// persistent directory the daemon creates. Users come from -C alone: one removed from the file
// is unknown after the restart, though its rouser line stays.
TEST_F(SnmpV3Test, EngineBootsGrowAndEngineIdStaysAcrossRestarts) {
  writeFileAtomically(statePath(), state_.json());
  const std::vector<std::string> args{
      "-C",        configPath(),       "--state",
      statePath(), "--persistent-dir", daemon_.dir().file("state/agent")};
  writeConfig({op, legacy});
  ASSERT_TRUE(daemon_.start(args)) << daemon_.log();
  const auto [engineId, boots] = engineState(op);
  EXPECT_EQ(boots, "1");
  ASSERT_EQ(daemon_.stop(), 0) << daemon_.log();

  ASSERT_TRUE(daemon_.start(args)) << daemon_.log();
  EXPECT_EQ(engineState(legacy), std::make_pair(engineId, std::string("2")));
  daemon_.signal(SIGKILL);
  EXPECT_EQ(daemon_.waitExit(), std::nullopt);

  writeFileAtomically(configPath(), userLines(op) + "rouser legacy priv\n");
  ASSERT_TRUE(daemon_.start(args)) << daemon_.log();
  EXPECT_EQ(engineState(op), std::make_pair(engineId, std::string("3")));
  const ClientResult removed = SnmpClient(daemon_, authPriv(legacy)).get({engineBootsOid});
  EXPECT_NE(removed.process.err.find("Unknown user name"), std::string::npos) << removed.describe();
}

// A persistent directory that cannot be created ends the daemon at start-up with status 1 and
// one line naming it, before anything listens.
TEST_F(SnmpV3Test, UncreatablePersistentDirIsRefusedAtStart) {
  const std::string file = daemon_.dir().file("file");
  writeFileAtomically(file, "");
  const std::string path = file + "/state";
  EXPECT_EQ(daemon_.runToExit({"--persistent-dir", path}, eventDeadline), 1);
  const std::string log = daemon_.log();
  EXPECT_EQ(log, "cannot use persistent directory " + path + ": Not a directory\n");
}

}  // namespace
}  // namespace E2e
