// The host's configuration and path lookup below the agent's mount.
#include "SnmpUtil/SnmpUtil.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include "Qel/Dir.h"

namespace {

/// An entity that is not a directory.
struct Leaf : Qel::Entity {
  using Qel::Entity::Entity;
  const Qel::TypeData* typeData() const override { return nullptr; }
};

// Missing names (also ones near present names), steps through a non-directory and empty names
// find nothing; a path or its prefix finds the very entity there, in the live tree below the
// current mount (snmp/stormcontrol/{stormcontrolmib, stormcontrolz}, snmp/other); a pointer
// handed out keeps its entity after removal. The process has one configuration.
TEST(SnmpUtilPathTest, FindsInTheLiveTreeOnly) {
  const auto mount = Pondo::make<Qel::Dir>("agent"), snmp = Pondo::make<Qel::Dir>("snmp"),
             storm = Pondo::make<Qel::Dir>("stormcontrol");
  const Pondo::Ptr<Qel::Entity> mib = Pondo::make<Leaf>("stormcontrolmib");
  mount->entityIs(snmp);
  snmp->entityIs(storm);
  snmp->entityIs(Pondo::make<Leaf>("other"));
  storm->entityIs(mib);
  storm->entityIs(Pondo::make<Leaf>("stormcontrolz"));
  SnmpUtil::agentMountIs(mount);
  for (const char* path :
       {"snmp/stormcontrol/stormcontrolmi", "snmp/stormcontrol/stormcontrolmibb", "snm",
        "snmp/stormcontrol/stormcontrolmib/x", "snmp/other/x", "agent/snmp", "", "/", "/snmp",
        "snmp/", "snmp//stormcontrol", "snmp/stormcontrol/"}) {
    EXPECT_FALSE(SnmpUtil::getEntityRelative(path)) << path;
  }
  Pondo::Ptr<Qel::Entity> found = SnmpUtil::getEntityRelative("snmp/stormcontrol/stormcontrolmib");
  EXPECT_EQ(found, mib);
  EXPECT_EQ(SnmpUtil::getEntityRelative("snmp/stormcontrol"), storm);
  storm->entityDel("stormcontrolmib");
  EXPECT_FALSE(SnmpUtil::getEntityRelative("snmp/stormcontrol/stormcontrolmib"));
  EXPECT_EQ(found->name(), "stormcontrolmib");
  auto replacement = Pondo::make<Leaf>("stormcontrolmib");
  storm->entityIs(replacement);
  SnmpUtil::agentMountIs(snmp);
  EXPECT_EQ(SnmpUtil::getEntityRelative("stormcontrol/stormcontrolmib"), replacement);
  EXPECT_FALSE(SnmpUtil::getEntityRelative("snmp"));
  SnmpUtil::agentMountIs(nullptr);
  EXPECT_FALSE(SnmpUtil::getEntityRelative("stormcontrol"));
  Snmp::Config::PtrConst config = SnmpUtil::getSnmpConfig();
  EXPECT_TRUE(config && SnmpUtil::getSnmpConfig() == config);
}

}  // namespace
