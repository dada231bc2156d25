// The plug-in's three type modules as their callers reach them: the contract's types and
// attributes by name and number, as the daemon uses them, and each object's type, which the
// modules find by registration index.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "StormControlSnmp/StormControlIfTableSmModule.h"
#include "StormControlSnmp/StormControlSnmpAgent.h"
#include "StormControlSnmp/StormControlSnmpContract.h"

namespace StormControlSnmp {
namespace {

const std::string ns = "StormControlSnmp::";
const std::string sm = ns + "KrelCode::StormControlIfTableSm::";
const std::string machine = ns + "StormControlIfTableSm";

// Every type the contract names is registered, with each attribute the daemon uses of the kind
// its generic access needs.
TEST(RegistrationTest, ContractTypesAndAttributes) {
  using Qel::AttrKind;
  namespace C = Contract;
  const struct {
    const char* type;
    U16 attribute;
    AttrKind kind;
  } used[] = {
      {C::mibType, C::mibTableAttr, AttrKind::collection},
      {C::rootType, C::rootAgentAttr, AttrKind::pointer},
      {C::agentType, C::agentMibAttr, AttrKind::field},
      {C::agentType, C::agentSliceAttr, AttrKind::field},
      {C::agentType, C::agentIfMibAttr, AttrKind::field},
      {C::agentType, C::agentSmControlAttr, AttrKind::field},
      {C::agentType, C::agentMachineAttr, AttrKind::pointer},
      {C::machineType, C::machineOutputStateAttr, AttrKind::pointer},
      {C::outputStateType, C::outputReadyAttr, AttrKind::field},
  };
  for (const auto& u : used) {
    const Qel::TypeData* type = Qel::qelType(u.type);
    ASSERT_TRUE(type) << u.type;
    const Qel::Attribute* attribute = type->attribute(u.attribute);
    ASSERT_TRUE(attribute) << u.type << " " << u.attribute;
    EXPECT_EQ(attribute->kind, u.kind) << u.type << " " << u.attribute;
  }
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
