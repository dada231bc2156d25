// The plug-in's three type modules as their callers reach them: modules and types by name (the
// host looks them up so), the attributes the host, the notifier and generic accesses use by
// number, and each object's type, which the modules find by registration index.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "StormControlSnmp/StormControlIfTableSmModule.h"
#include "StormControlSnmp/StormControlSnmpAgent.h"

namespace StormControlSnmp {
namespace {

const std::string ns = "StormControlSnmp::";
const std::string sm = ns + "KrelCode::StormControlIfTableSm::";
const std::string machine = ns + "StormControlIfTableSm";

// Each type's module finds it by name, and every attribute a caller names by number carries
// that number and name; the host's collection and pointer attributes have those kinds.
TEST(RegistrationTest, TypesAndAttributesCallersUse) {
  const struct {
    const char* module;
    std::string type;
    const char* attributes;  // number and name, in pairs
  } used[] = {
      {"StormControlSnmp", ns + "StormControlTCType", ""},
      {"StormControlSnmp", ns + "StormControlIfTableKey", "2 ifIndex 3 trafficClass"},
      {"StormControlSnmp", ns + "StormControlIfTableEntry", "134 thresholdLevel 136 drops"},
      {"StormControlSnmp", ns + "StormControlMib", "154 nameString 258 stormControlIfTable"},
      {"StormControlSnmpAgent", ns + "Root", "154 nameString 258 stormControlSnmpAgent"},
      {"StormControlSnmpAgent", ns + "StormControlSnmpAgent",
       "130 scMib 131 slice 132 ifMib 133 smControl "
       "134 stormControlIfTableSm 135 handleInitialized"},
      {"StormControlIfTableSm", machine, "134 outputState 138 mibStormControlIfTableOutputSeen"},
      {"StormControlIfTableSm", sm + "OutputState", "131 ready"},
      {"StormControlIfTableSm", machine + "::MibStormControlIfTableOutputKeyType",
       "2 k0 3 k0Valid 4 validate"},
  };
  for (const auto& u : used) {
    SCOPED_TRACE(u.type);
    const Qel::Module* module = Qel::qelModule(u.module);
    const Qel::TypeData* type = Qel::qelType(u.type);
    ASSERT_TRUE(module && type);
    EXPECT_EQ(&module->type(type->index()), type);
    std::istringstream attributes(u.attributes);
    U16 number;
    for (std::string name; attributes >> number >> name;) {
      ASSERT_TRUE(type->attribute(number)) << number;
      EXPECT_EQ(type->attribute(number)->name, name) << number;
    }
  }
  EXPECT_EQ(Qel::qelType(ns + "StormControlMib")->attribute(258)->kind, Qel::AttrKind::collection);
  EXPECT_EQ(Qel::qelType(ns + "Root")->attribute(258)->kind, Qel::AttrKind::pointer);
}

// Objects name the type registered under their class's name: the modules' index of each type
// follows their registration order.
TEST(RegistrationTest, ObjectsNameTheirTypes) {
  const auto status = Pondo::make<const Bridging::StormControl::IntfStatus>(
      "Ethernet1", Bridging::StormControl::Classes{});
  const auto row = Pondo::make<StormControlIfTableEntry>(StormControlIfTableKey(), status);
  EXPECT_EQ(row->typeData(), Qel::qelType(ns + "StormControlIfTableEntry"));
  EXPECT_EQ(stormControlMibFactory("m")->typeData(), Qel::qelType(ns + "StormControlMib"));
  EXPECT_EQ(Pondo::make<Root>("r")->typeData(), Qel::qelType(ns + "Root"));
  const std::pair<SmType, std::string> smTypes[] = {
      {SmType::inputSmScanState, sm + "InputSmScanState"},
      {SmType::outputState, sm + "OutputState"},
      {SmType::entityPtrSm1, sm + "EntityPtrSm1"},
      {SmType::ifMibSm2, sm + "IfMibSm2"},
      {SmType::sliceSm0, sm + "SliceSm0"},
      {SmType::outputKey, machine + "::MibStormControlIfTableOutputKeyType"},
      {SmType::machine, machine}};
  for (const auto& [index, name] : smTypes) EXPECT_EQ(&smType(index), Qel::qelType(name)) << name;
}

}  // namespace
}  // namespace StormControlSnmp
