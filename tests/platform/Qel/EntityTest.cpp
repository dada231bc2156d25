// Qel entities: directories (publications), singletons, trace handles.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "Qel/Dir.h"
#include "Qel/Exception.h"
#include "Qel/Module.h"
#include "Qel/TraceHandle.h"
#include "TraceCapture.h"

namespace {

struct DirLog {
  explicit DirLog(Qel::Dir& dir) { dir.publisher()->subscriberAdd(slot, false); }
  void onChange(const Pondo::Change& c) {
    EXPECT_EQ(c.attribute, Qel::Dir::entityPtrAttr);
    const auto* previous = static_cast<const Pondo::Ptr<Qel::Entity>*>(c.previous);
    events.push_back(static_cast<const Pondo::String*>(c.key)->stdString() +
                     (previous ? "-" + (*previous)->name().stdString() : ""));
  }
  std::vector<std::string> events;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&DirLog::onChange>};
};

Pondo::Ptr<Qel::Entity> dirNamed(const std::string& name) {
  return Pondo::make<Qel::Dir>(Pondo::String(name));
}

// Placing (again: nothing), replacing and removing publish the name and the entity that went.
TEST(DirTest, PublishesNameAndPreviousEntity) {
  Qel::Dir dir("slice");
  DirLog log(dir);
  auto a = dirNamed("a"), a2 = dirNamed("a");
  dir.entityIs(a);
  dir.entityIs(a);
  dir.entityIs(a2);
  EXPECT_EQ(dir.entityPtr("a"), a2);
  EXPECT_EQ(dir.entityDel("a"), a2);
  EXPECT_TRUE(!dir.entityDel("a") && dir.entityCount() == 0u);
  EXPECT_EQ(log.events, (std::vector<std::string>{"a", "a-a", "a-a"}));
}

// Singletons are created once from their type and found by name; wrong arguments throw.
TEST(EntityTest, SingletonsByName) {
  const Qel::TypeData* dirType = Qel::qelType("Qel::Dir");
  ASSERT_NE(dirType, nullptr);
  EXPECT_EQ(Qel::Entity::singletonExists("EntityTest.root"), nullptr);
  auto root = Qel::Entity::singletonIs(dirType, "EntityTest.root");
  EXPECT_EQ(std::tuple(root->typeData(), Qel::Entity::singletonExists("EntityTest.root"),
                       Qel::Entity::singletonIs(dirType, "EntityTest.root")),
            std::tuple(dirType, root, root));
  const Qel::Args args{Pondo::String("x")};
  EXPECT_THROW(dirType->ops().newEntity("x", &args), Qel::NewEntityArgsException);
}

/// Counts how often it is formatted, to prove that disabled levels format nothing.
struct Counted {
  int* formats;
};
std::ostream& operator<<(std::ostream& out, const Counted& c) { return out << ++*c.formats; }

// Bit N of the mask enables level N only; the framework handle shares the named levels and
// evaluates nothing for a disabled level.
TEST(TraceHandleTest, LevelsGateBeforeFormatting) {
  TraceLevels levels("TraceHandleTest", U16(1u << 2));
  Qel::TraceHandle handle("TraceHandleTest", false);
  EXPECT_TRUE(handle.enabled(2) && !handle.enabled(1) && !handle.enabled(3));
  TraceCapture capture;
  int formats = 0;
  QEL_TRACE(handle, 1) << "hidden " << Counted{&formats};
  QEL_TRACE(handle, 2) << "shown " << Counted{&formats} << " at " << 8u;
  EXPECT_EQ(formats, 1);
  EXPECT_EQ(capture.texts("TraceHandleTest"), std::vector<std::string>{"shown 1 at 8"});
}

}  // namespace
