// Qel/Entity.cpp — the singleton registry and entity text.
#include "Qel/Entity.h"

#include <map>
#include <ostream>

#include "Pondo/Assert.h"

namespace Qel {

namespace {

std::map<Pondo::String, Pondo::Ptr<Entity>>& singletons() {
  static auto* registry = new std::map<Pondo::String, Pondo::Ptr<Entity>>;
  return *registry;
}

}  // namespace

Pondo::Ptr<Entity> Entity::singletonExists(const Pondo::String& name) {
  auto it = singletons().find(name);
  return it == singletons().end() ? nullptr : it->second;
}

Pondo::Ptr<Entity> Entity::singletonIs(QelTypeBase type, const Pondo::String& name) {
  if (Pondo::Ptr<Entity> existing = singletonExists(name)) return existing;
  PONDO_ASSERT_MSG(type && type->ops().newEntity, "singleton type cannot create entities");
  Pondo::Ptr<Entity> created = type->ops().newEntity(name, nullptr);
  singletons().emplace(name, created);
  return created;
}

std::ostream& operator<<(std::ostream& out, const Entity* entity) {
  if (!entity) return out << "null";
  const TypeData* type = entity->typeData();
  return out << (type ? type->name() : "Qel::Entity") << " '" << entity->name() << "'@"
             << static_cast<const void*>(entity);
}

}  // namespace Qel
