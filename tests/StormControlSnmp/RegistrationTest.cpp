// The plug-in's three type modules as their callers reach them: modules and types by name (the
// host looks them up so), the attributes the host, the notifier and generic accesses use by
// number, and each object's type, which the modules find by registration index.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "StormControlSnmp/StormControlIfTableSmModule.h"
#include "StormControlSnmp/StormControlSnmpAgent.h"

namespace StormControlSnmp {
namespace {

const std::string sm = "StormControlSnmp::KrelCode::StormControlIfTableSm::";

struct Used {
  const char* module;
  std::string type;
  std::vector<std::pair<U16, const char*>> attributes;  // number and name
};

// Each type's module finds it by name, and every attribute a caller names by number carries
// that number and name; the host's collection and pointer attributes have those kinds.
TEST(RegistrationTest, TypesAndAttributesCallersUse) {
  const std::vector<Used> used = {
      {"StormControlSnmp", "StormControlSnmp::StormControlTCType", {}},
      {"StormControlSnmp", "StormControlSnmp::StormControlIfTableKey",
       {{2, "ifIndex"}, {3, "trafficClass"}}},
      {"StormControlSnmp", "StormControlSnmp::StormControlIfTableEntry",
       {{134, "thresholdLevel"}, {136, "drops"}}},
      {"StormControlSnmp", "StormControlSnmp::StormControlMib",
       {{154, "nameString"}, {258, "stormControlIfTable"}}},
      {"StormControlSnmpAgent", "StormControlSnmp::Root",
       {{154, "nameString"}, {258, "stormControlSnmpAgent"}}},
      {"StormControlSnmpAgent", "StormControlSnmp::StormControlSnmpAgent",
       {{130, "scMib"}, {131, "slice"}, {132, "ifMib"}, {133, "smControl"},
        {134, "stormControlIfTableSm"}, {135, "handleInitialized"}}},
      {"StormControlIfTableSm", "StormControlSnmp::StormControlIfTableSm",
       {{134, "outputState"}, {138, "mibStormControlIfTableOutputSeen"}}},
      {"StormControlIfTableSm", sm + "OutputState", {{131, "ready"}}},
      {"StormControlIfTableSm", "StormControlSnmp::StormControlIfTableSm::"
                                "MibStormControlIfTableOutputKeyType",
       {{2, "k0"}, {3, "k0Valid"}, {4, "validate"}}},
  };
  for (const Used& u : used) {
    SCOPED_TRACE(u.type);
    const Qel::Module* module = Qel::qelModule(u.module);
    const Qel::TypeData* type = Qel::qelType(u.type);
    ASSERT_TRUE(module && type);
    EXPECT_EQ(&module->type(type->index()), type);
    for (const auto& [number, name] : u.attributes) {
      ASSERT_TRUE(type->attribute(number)) << number;
      EXPECT_STREQ(type->attribute(number)->name, name) << number;
    }
  }
  EXPECT_EQ(Qel::qelType("StormControlSnmp::StormControlMib")->attribute(258)->kind,
            Qel::AttrKind::collection);
  EXPECT_EQ(Qel::qelType("StormControlSnmp::Root")->attribute(258)->kind, Qel::AttrKind::pointer);
}

// Objects name the type registered under their class's name: the modules' index of each type
// follows their registration order.
TEST(RegistrationTest, ObjectsNameTheirTypes) {
  const auto status = Pondo::make<const Bridging::StormControl::IntfStatus>(
      "Ethernet1", Bridging::StormControl::IntfStatus::Classes{});
  const auto row = Pondo::make<StormControlIfTableEntry>(StormControlIfTableKey(), status);
  EXPECT_EQ(row->typeData(), Qel::qelType("StormControlSnmp::StormControlIfTableEntry"));
  EXPECT_EQ(stormControlMibFactory("m")->typeData(),
            Qel::qelType("StormControlSnmp::StormControlMib"));
  EXPECT_EQ(Pondo::make<Root>("r")->typeData(), Qel::qelType("StormControlSnmp::Root"));
  const std::pair<SmType, std::string> smTypes[] = {
      {SmType::inputSmScanState, sm + "InputSmScanState"},
      {SmType::outputState, sm + "OutputState"},
      {SmType::entityPtrSm1, sm + "EntityPtrSm1"},
      {SmType::ifMibSm2, sm + "IfMibSm2"},
      {SmType::sliceSm0, sm + "SliceSm0"},
      {SmType::outputKey, "StormControlSnmp::StormControlIfTableSm::"
                          "MibStormControlIfTableOutputKeyType"},
      {SmType::machine, "StormControlSnmp::StormControlIfTableSm"}};
  for (const auto& [index, name] : smTypes) EXPECT_EQ(&smType(index), Qel::qelType(name)) << name;
}

}  // namespace
}  // namespace StormControlSnmp
