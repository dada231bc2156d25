// Qel/Dir.cpp — directories and the framework's own type module.
#include "Qel/Dir.h"

#include "Qel/Exception.h"
#include "Qel/Module.h"

namespace Qel {

namespace {

bool nameEq(const void* a, const void* b) {
  return *static_cast<const Pondo::String*>(a) == *static_cast<const Pondo::String*>(b);
}

Module& moduleDefinition() {
  static Module module("Qel");
  static const bool built = [] {
    TypeData& dir = module.typeIs("Qel::Dir", TypeKind::entity);
    TypeOps ops;
    ops.newEntity = [](const Pondo::String& name, const Args* args) -> Pondo::Ptr<Entity> {
      if (args) throwNewEntityArgsException("Qel::Dir");
      return Pondo::make<Dir>(name);
    };
    dir.opsIs(std::move(ops));
    return true;
  }();
  (void)built;
  return module;
}

const bool registered = (qelModuleIs(moduleDefinition()), true);

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
  publisher_.publishChangeRecursive(entityPtrAttr, &name, previous ? &previous : nullptr, &nameEq);
}

Pondo::Ptr<Entity> Dir::entityDel(const Pondo::String& name) {
  std::optional<Pondo::Ptr<Entity>> removed = entities_.take(name);
  if (!removed) return nullptr;
  publisher_.publishChangeRecursive(entityPtrAttr, &name, &*removed, &nameEq);
  return *removed;
}

}  // namespace Qel
