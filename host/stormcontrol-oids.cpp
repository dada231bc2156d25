// host/stormcontrol-oids.cpp — prints the MIB's OIDs from the contract, one NAME=OID a line.
///
/// The contract header states the OIDs once; the scripts and system tests, which cannot include
/// it, read them from this program (built, not installed): `eval "$(stormcontrol-oids)"`.
#include <cstdio>

#include "StormControlSnmp/StormControlSnmpContract.h"

namespace {

namespace Contract = StormControlSnmp::Contract;

template <std::size_t N>
void print(const char* name, const std::array<Contract::Subid, N>& oid) {
  std::printf("%s=", name);
  for (std::size_t i = 0; i < N; ++i) std::printf(i ? ".%lu" : "%lu", oid[i]);
  std::printf("\n");
}

}  // namespace

int main() {
  print("TABLE_OID", Contract::tableOid);
  print("DROPS_OID", Contract::oidOf(Contract::entryOid, Contract::dropsColumn));
  print("DROPS_RISING_OID", Contract::dropsRisingOid);
  print("NOTIFY_CLASS_OID", Contract::notifyTrafficClassOid);
  print("MIB_OID", Contract::mibOid);
  print("AGENT_OID", Contract::agentObjectIdOid);
  print("IF_NUMBER_OID", Contract::ifNumberOid);
  print("IF_INDEX_OID", Contract::ifIndexOid);
  print("IF_DESCR_OID", Contract::ifDescrOid);
  print("IF_NAME_OID", Contract::ifNameOid);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
