// Qel/Dir.cpp — directories and the framework's own type module.
#include "Qel/Dir.h"

#include "Qel/Exception.h"
#include "Qel/Registration.h"

namespace Qel {

namespace {

constexpr Pondo::Change::KeyEq nameEq = &Reg::untypedEq<Pondo::String>;

void build(Module& module) {
  TypeData& dir = module.typeIs("Qel::Dir", TypeKind::entity);
  TypeOps ops;
  ops.newEntity = [](const Pondo::String& name, const Args* args) -> Pondo::Ptr<Entity> {
    if (args) throwNewEntityArgsException("Qel::Dir");
    return Pondo::make<Dir>(name);
  };
  dir.opsIs(std::move(ops));
}

Module& moduleDefinition() { return Reg::moduleDefinition<build>("Qel"); }

const bool registered = Reg::registeredAtLoad(moduleDefinition());

}  // namespace

Dir::~Dir() { entities_.clear(); }

const TypeData* Dir::typeData() const { return &moduleDefinition().type(0); }

Pondo::Ptr<const Entity> Dir::entityPtr(const Pondo::String& name) const {
  const Pondo::Ptr<Entity>* entity = entities_.find(name);
  return entity ? Pondo::Ptr<const Entity>(*entity) : nullptr;
}

void Dir::entityIs(const Pondo::Ptr<Entity>& entity) {
  const Pondo::String name = entity->name();
  Pondo::Ptr<Entity>* present = entities_.find(name);
  if (present && *present == entity) return;
  Pondo::Ptr<Entity> previous = present ? *present : nullptr;
  entities_.insertOrAssign(name, entity);
  entity->handleParent();
  publisher_.publishChangeRecursive(entityPtrAttr, &name, previous ? &previous : nullptr, nameEq);
}

Pondo::Ptr<Entity> Dir::entityDel(const Pondo::String& name) {
  std::optional<Pondo::Ptr<Entity>> removed = entities_.take(name);
  if (!removed) return nullptr;
  publisher_.publishChangeRecursive(entityPtrAttr, &name, &*removed, nameEq);
  return *removed;
}

}  // namespace Qel
