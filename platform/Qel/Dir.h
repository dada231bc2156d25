// Qel/Dir.h — a directory of the state database: entities by name.
///
/// A directory holds counted references to its entities, keyed by entity name. Iteration
/// follows the stable order of `Qel::HashMap2018` and can start at any name (present or not),
/// so a scan cut into several runs resumes from a name bookmark. Every change is published
/// under attribute 266 with the name (`Pondo::String`) as key and, for a replacement or
/// removal, the previous `Pondo::Ptr<Qel::Entity>` as previous value.
#pragma once

#include "Pondo/Publisher.h"
#include "Pooly/Slab.h"
#include "Qel/Entity.h"
#include "Qel/HashMap2018.h"

namespace Qel {

class Dir : public Entity, public Pooly::Slab<Dir> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Qel::Dir"};
  static constexpr U16 entityPtrAttr = 266;
  using EntityMap = HashMap2018<Pondo::String, Pondo::Ptr<Entity>>;
  using Iterator = EntityMap::Iterator;

  explicit Dir(const Pondo::String& name) : Entity(name) {}
  ~Dir() override;

  Pondo::Publisher* publisher() const override { return &publisher_; }
  const TypeData* typeData() const override;

  U32 entityCount() const noexcept { return entities_.count(); }
  /// The entity named `name`, or null.
  Pondo::Ptr<const Entity> entityPtr(const Pondo::String& name) const;
  /// Places `entity` under its name, replacing an entity of that name; nothing when present.
  void entityIs(const Pondo::Ptr<Entity>& entity);
  /// Removes the entity named `name`; returns it, or null when there was none.
  Pondo::Ptr<Entity> entityDel(const Pondo::String& name);

  Iterator entityPtrIteratorConst() const { return entities_.begin(); }
  /// From `name`, or from where `name` would be when it is not present.
  Iterator entityPtrIteratorConst(const Pondo::String& name) const {
    return entities_.iteratorFrom(name);
  }

 private:
  mutable Pondo::Publisher publisher_;
  EntityMap entities_;
};

}  // namespace Qel
