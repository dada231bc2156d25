// Qel/Entity.h — a named node of the state database.
///
/// Entities are counted nodes with a name and a registered type (`typeData()`); an entity that
/// publishes changes returns its publisher from `publisher()`. Process-wide singletons are
/// entities registered by name: `singletonIs` creates one from its type, `singletonExists`
/// finds it; the registry keeps them for the life of the process.
#pragma once

#include <iosfwd>

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pondo/String.h"
#include "Qel/TypeData.h"

namespace Qel {

class Entity : public Pondo::Node {
 public:
  explicit Entity(const Pondo::String& name) : name_(name) {}

  const Pondo::String& name() const noexcept { return name_; }
  virtual const TypeData* typeData() const = 0;
  /// Called when the entity is placed in a directory; nothing by default.
  virtual void handleParent() {}

  /// The singleton of that name, or null.
  static Pondo::Ptr<Entity> singletonExists(const Pondo::String& name);
  /// The singleton of that name, created from `type` (its new-entity operation) when absent.
  static Pondo::Ptr<Entity> singletonIs(QelTypeBase type, const Pondo::String& name);

 private:
  Pondo::String name_;
};

/// Entity text of a pointer: `TypeName 'name'@address`, or `null`.
std::ostream& operator<<(std::ostream& out, const Entity* entity);

}  // namespace Qel
