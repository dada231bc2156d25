// tests/host/e2e/SnmpClient.cpp — running the snmp clients against the daemon.
#include "SnmpClient.h"

#include <sstream>

namespace E2e {

namespace {

/// The client's own timeout and retries; the deadline below only stops a hung client.
const std::vector<std::string> commonOptions{"-On", "-Oe", "-m", "", "-t", "5", "-r", "2"};
constexpr std::chrono::milliseconds clientDeadline{120'000};

std::vector<std::string> oidTexts(const std::vector<Oid>& oids) {
  std::vector<std::string> texts;
  for (const auto& oid : oids) texts.push_back(oidText(oid));
  return texts;
}

/// A walk that reaches the end of the agent's view prints endOfMibView as its last line; the
/// walk's variables are the ones before it.
ClientResult withoutEndOfView(ClientResult result) {
  if (!result.vars.empty() && result.vars.back().kind == VarKind::endOfMibView) {
    result.vars.pop_back();
  }
  return result;
}

}  // namespace

Oid cellOid(unsigned column, std::uint64_t ifIndexArc, unsigned trafficClass) {
  return concat(entryOid, {column, ifIndexArc, trafficClass});
}

std::string ClientResult::errorReason() const {
  for (const std::string* text : {&process.err, &process.out}) {
    std::istringstream in(*text);
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find("Reason: ");
      if (at != std::string::npos) return line.substr(at + 8);
    }
  }
  return {};
}

SnmpClient::SnmpClient(const SnmpTarget& target, std::vector<std::string> auth)
    : target_(target), auth_(std::move(auth)) {}

ClientResult SnmpClient::run(const std::string& tool, const std::vector<std::string>& options,
                             const std::vector<std::string>& operands) const {
  std::vector<std::string> argv{tool};
  argv.insert(argv.end(), commonOptions.begin(), commonOptions.end());
  argv.insert(argv.end(), auth_.begin(), auth_.end());
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(target_.agent());
  argv.insert(argv.end(), operands.begin(), operands.end());
  ClientResult result;
  result.process = runProcess(argv, target_.environment(), clientDeadline);
  result.vars = parseVarBinds(result.process.out);
  return result;
}

ClientResult SnmpClient::get(const std::vector<Oid>& oids) const {
  return run("snmpget", {}, oidTexts(oids));
}

ClientResult SnmpClient::getNext(const std::vector<Oid>& oids) const {
  return run("snmpgetnext", {}, oidTexts(oids));
}

ClientResult SnmpClient::getBulk(int nonRepeaters, int maxRepetitions,
                                 const std::vector<Oid>& oids) const {
  return run("snmpbulkget",
             {"-Cn" + std::to_string(nonRepeaters), "-Cr" + std::to_string(maxRepetitions)},
             oidTexts(oids));
}

ClientResult SnmpClient::walk(const Oid& root) const {
  return withoutEndOfView(run("snmpwalk", {}, {oidText(root)}));
}

ClientResult SnmpClient::bulkWalk(const Oid& root, int maxRepetitions) const {
  return withoutEndOfView(
      run("snmpbulkwalk", {"-Cr" + std::to_string(maxRepetitions)}, {oidText(root)}));
}

ClientResult SnmpClient::set(const Oid& oid, const std::string& type,
                             const std::string& value) const {
  return run("snmpset", {}, {oidText(oid), type, value});
}

}  // namespace E2e
