// Qel/TypeData.h — registered types, their numbered attributes and generic operations.
///
/// Every type of a plug-in is registered once, at load, as a `TypeData` of its module (see
/// Qel/Module.h). Attributes are numbered; change publications name them by number, and the
/// generic access below reaches each by number: read, set (`Is`), delete (`Del`), invoke.
/// Values cross the generic access as `Qel::Value` (a `std::any` holding the attribute's own
/// C++ type); objects as `void*` pointing at an object of exactly the registered type. A caller
/// that cannot name a plug-in's classes (a host that loads it with dlopen) passes and takes
/// counted nodes instead: `arg` accepts a `Pondo::Ptr<Pondo::Node>` for any node argument,
/// `attrNode` reads a pointer attribute as one, and `objectOf` turns a node into the object.
///
/// Registration happens during static initialisation, on one thread; afterwards a `TypeData`
/// never changes, so it may be read from anywhere.
#pragma once

#include <any>
#include <functional>
#include <iosfwd>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pondo/String.h"
#include "Pondo/Types.h"

namespace Qel {

class Module;
class Entity;
class TypeData;

using Value = std::any;
using Args = std::vector<Value>;
/// A handle on a registered type, as the framework passes types around.
using QelTypeBase = const TypeData*;

enum class TypeKind : U8 { enumeration, value, node, entity };

enum class AttrKind : U8 {
  field,       // stored value: read; set only where `set` is given
  computed,    // derived value: read only
  collection,  // keyed members: see `CollectionAccess`
  pointer,     // owned counted pointer to a node, instantiated by `Is`, removed by `Del`
  handler,     // invocable reaction, `handle...`
  operation,   // invocable query or command
};

struct Enumerator {
  const char* name;
  U32 number;
};

/// Generic operations of a keyed collection attribute; keys and members are `Value`s.
struct CollectionAccess {
  std::function<Value(const void* obj, const Value& key)> find;  // empty Value when absent
  std::function<bool(const void* obj, const Value& key)> contains;
  std::function<U32(const void* obj)> count;
  std::function<U32(const void* obj)> version;
  /// Visits members in the collection's order from the first, or from the first at or after
  /// `*from`; stops when `visit` returns false.
  std::function<void(const void* obj, const Value* from,
                     const std::function<bool(const Value& key, const Value& member)>& visit)>
      iterate;
};

struct Attribute {
  Attribute(U16 number, const char* name, AttrKind kind, bool ctorArg = false)
      : number(number), name(name), kind(kind), ctorArg(ctorArg) {}

  U16 number;
  const char* name;
  AttrKind kind;
  bool ctorArg;
  std::function<Value(const void* obj)> read;
  std::function<void(void* obj, const Args& args)> set;   // `Is`
  std::function<Value(void* obj, const Args& args)> del;  // `Del`
  std::function<Value(void* obj, const Args& args)> invoke;
  /// A pointer attribute's pointee as a counted node; null when there is none.
  std::function<Pondo::Ptr<Pondo::Node>(const void* obj)> node;
  /// Writes the attribute's value in the generic text form (value types' fields only).
  std::function<void(std::ostream& out, const void* obj)> print;
  CollectionAccess collection;
};

/// Generic operations of a type. Value types fill the value operations; node and entity
/// types fill `construct` and, for entities, `newEntity`.
struct TypeOps {
  std::function<Value(const Args& args)> construct;  // from constructor arguments
  std::function<Value()> defaultConstruct;
  std::function<void(void* dst, const void* src)> copy;  // copy-construct into raw storage
  std::function<void(void* obj)> destroy;                // destroy in place
  std::function<Pondo::String(const void* obj)> text;
  std::function<Value(const Pondo::String& text)> parse;
  std::function<U32(const void* obj)> hash;
  std::function<bool(const void* a, const void* b)> isEq;
  std::function<bool(const void* a, const void* b)> less;
  std::function<bool(const void* obj)> isNonDefault;
  /// A new entity for a directory; refuses arguments the type does not take.
  std::function<Pondo::Ptr<Entity>(const Pondo::String& name, const Args* args)> newEntity;
};

class TypeData {
 public:
  TypeData(const char* name, TypeKind kind) : name_(name), kind_(kind) {}

  const char* name() const noexcept { return name_; }
  TypeKind kind() const noexcept { return kind_; }
  const Module* module() const noexcept { return module_; }
  U16 index() const noexcept { return index_; }

  const std::vector<Attribute>& attributes() const noexcept { return attributes_; }
  /// The attribute with that number or name, or null.
  const Attribute* attribute(U16 number) const noexcept;
  const Attribute* attribute(std::string_view name) const noexcept;

  const std::vector<Enumerator>& enumerators() const noexcept { return enumerators_; }
  const TypeOps& ops() const noexcept { return ops_; }

  // Registration (before the module is registered).
  TypeData& attributeIs(Attribute a);
  TypeData& enumeratorsIs(std::vector<Enumerator> e);
  TypeData& opsIs(TypeOps ops);

 private:
  friend class Module;

  const char* name_;
  TypeKind kind_;
  const Module* module_ = nullptr;
  U16 index_ = 0;
  std::vector<Attribute> attributes_;
  std::vector<Enumerator> enumerators_;
  TypeOps ops_;
};

// Generic access by attribute number. Each raises `Qel::AttributeException` when the type has
// no such attribute or the attribute does not allow the operation.
Value attrRead(const TypeData& type, const void* obj, U16 number);
void attrSet(const TypeData& type, void* obj, U16 number, const Args& args);
Value attrDel(const TypeData& type, void* obj, U16 number, const Args& args = {});
Value attrInvoke(const TypeData& type, void* obj, U16 number, const Args& args = {});
const CollectionAccess& attrCollection(const TypeData& type, U16 number);
/// A pointer attribute's pointee, whatever its class.
Pondo::Ptr<Pondo::Node> attrNode(const TypeData& type, const void* obj, U16 number);

/// The object `node` is part of, of exactly its own class: what generic access takes as `obj`.
inline void* objectOf(const Pondo::Node& node) {
  return const_cast<void*>(dynamic_cast<const void*>(&node));
}

[[noreturn]] void throwBadArgument(std::size_t index, const char* expected);

template <class T>
inline constexpr bool isNodePtr = false;
template <class N>
inline constexpr bool isNodePtr<Pondo::Ptr<N>> = std::is_base_of_v<Pondo::Node, N>;

/// The argument at `index` as a `T`; a node pointer may also come as a `Pondo::Ptr<Pondo::Node>`
/// to an object of that class, or null. Raises `Qel::AttributeException` when it is missing or
/// of another type.
template <class T>
T arg(const Args& args, std::size_t index) {
  if (index < args.size()) {
    if (const T* v = std::any_cast<T>(&args[index])) return *v;
    if constexpr (isNodePtr<T>) {
      if (const auto* node = std::any_cast<Pondo::Ptr<Pondo::Node>>(&args[index])) {
        auto* object = dynamic_cast<typename T::element_type*>(node->get());
        if (object || !*node) return T(object);
      }
    }
  }
  throwBadArgument(index, typeid(T).name());
}

}  // namespace Qel
