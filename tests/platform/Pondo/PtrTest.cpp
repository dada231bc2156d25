// Use counts of Pondo::Node under Pondo::Ptr: the creator's reference, adoption and sharing.
#include "Pondo/Ptr.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// Counts its destructions; `duringConstruction` runs inside the constructor.
struct Counted : Pondo::Node {
  explicit Counted(int& destroyed, const std::function<void(Counted&)>& duringConstruction = {})
      : destroyed(destroyed) {
    if (duringConstruction) duringConstruction(*this);
  }
  ~Counted() override { ++destroyed; }
  int& destroyed;
};

// A new node holds its creator's reference; make and adopt hand it over without adding one,
// so the first Ptr's release destroys the node, once.
TEST(PtrTest, NewNodeHoldsItsCreatorsReference) {
  int destroyed = 0;
  auto* raw = new Counted(destroyed);
  EXPECT_EQ(raw->references(), 1u);
  Pondo::Ptr<Counted> adopted = Pondo::Ptr<Counted>::adopt(raw);
  EXPECT_EQ(raw->references(), 1u);
  Pondo::Ptr<Counted> made = Pondo::make<Counted>(destroyed);
  EXPECT_EQ(made->references(), 1u);
  adopted.reset();
  made.reset();
  EXPECT_EQ(destroyed, 2);
}

// A Ptr made from a live node's raw pointer shares it: one more reference, released again.
TEST(PtrTest, RawPointerOfLiveNodeShares) {
  int destroyed = 0;
  Pondo::Ptr<Counted> owner = Pondo::make<Counted>(destroyed);
  {
    Pondo::Ptr<Counted> shared(owner.get());
    EXPECT_EQ(owner->references(), 2u);
    Pondo::Ptr<Pondo::Node> base = shared;
    EXPECT_EQ(owner->references(), 3u);
  }
  EXPECT_EQ(owner->references(), 1u);
  EXPECT_EQ(destroyed, 0);
}

// A reference taken and released inside the constructor (as a guard or a publication reaching
// the new node does) leaves the node alive: it is never at zero while it is being built.
TEST(PtrTest, ReferenceTakenDuringConstructionKeepsNode) {
  int destroyed = 0;
  U32 during = 0;
  Pondo::Ptr<Counted> node = Pondo::make<Counted>(destroyed, [&](Counted& self) {
    Pondo::Ptr<Counted> guard(&self);
    during = self.references();
  });
  EXPECT_EQ(during, 2u);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(node->references(), 1u);
  node.reset();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
