// Qel/Registration.h — building blocks for registering type modules, types and attributes.
///
/// A source unit defines its module once and registers it at load; each attribute is stated
/// once, by the number its class names in `enum Attr`, a name and an accessor:
///
///     void build(Qel::Module& m) {
///       Qel::TypeData& t = m.typeIs("Ns::Key", Qel::TypeKind::value);
///       t.attributeIs(Qel::Reg::field<Key>(Key::ifIndexAttr, "ifIndex", &Key::ifIndex));
///       t.opsIs(Qel::Reg::valueOps<Key>());
///     }
///     Qel::Module& moduleDefinition() { return Qel::Reg::moduleDefinition<build>("Ns"); }
///     const bool registered = Qel::Reg::registeredAtLoad(moduleDefinition());
///
/// Accessors may be member function pointers or any callable taking the object.
#pragma once

#include <functional>
#include <new>
#include <sstream>
#include <type_traits>
#include <utility>

#include "Qel/CharRange.h"
#include "Qel/Hash.h"
#include "Qel/Module.h"
#include "Qel/Strep.h"
#include "Qel/TypeData.h"

namespace Qel::Reg {

// ---- modules --------------------------------------------------------------------------------

/// The module `name`, built by `Build` on its first use. A unit's types may be asked for
/// before its own static initialisers have run (another unit's initialiser, a test), so the
/// module is a function-local static and is built exactly once, whoever asks first.
template <void (*Build)(Module&)>
Module& moduleDefinition(const char* name) {
  static Module module(name);
  static const bool built = (Build(module), true);
  (void)built;
  return module;
}

/// Registers `module` with the process; for a unit's static initialiser.
inline bool registeredAtLoad(Module& module) {
  qelModuleIs(module);
  return true;
}

/// Equality of two keys of type `K` in the untyped form of change notifications.
template <class K>
bool untypedEq(const void* a, const void* b) noexcept {
  return a == b || *static_cast<const K*>(a) == *static_cast<const K*>(b);
}

// ---- attributes -----------------------------------------------------------------------------

template <class T, class G>
using ReadType = std::decay_t<std::invoke_result_t<G, const T&>>;

/// A stored field, read-only through generic access; part of the text form when printable.
template <class T, class G>
Attribute field(U16 number, const char* name, G get, bool ctorArg = false) {
  Attribute a{number, name, AttrKind::field, ctorArg};
  a.read = [get](const void* obj) {
    return Value(ReadType<T, G>(std::invoke(get, *static_cast<const T*>(obj))));
  };
  if constexpr (requires(std::ostream & out, const ReadType<T, G>& v) { out << v; }) {
    a.print = [get](std::ostream& out, const void* obj) {
      writeValue(out, std::invoke(get, *static_cast<const T*>(obj)));
    };
  }
  return a;
}

/// A stored field that generic access may also set, from one argument of the field's type.
template <class T, class G, class S>
Attribute settable(U16 number, const char* name, G get, S set) {
  Attribute a{number, name, AttrKind::field};
  a.read = [get](const void* obj) {
    return Value(ReadType<T, G>(std::invoke(get, *static_cast<const T*>(obj))));
  };
  a.set = [set](void* obj, const Args& args) {
    std::invoke(set, *static_cast<T*>(obj), arg<ReadType<T, decltype(std::declval<G>())>>(args, 0));
  };
  return a;
}

/// A value derived on every read.
template <class T, class G>
Attribute computed(U16 number, const char* name, G get) {
  Attribute a{number, name, AttrKind::computed};
  a.read = [get](const void* obj) {
    return Value(ReadType<T, G>(std::invoke(get, *static_cast<const T*>(obj))));
  };
  return a;
}

/// An invocable handler or operation; `call(T&, const Args&)` returns the result, or nothing.
template <class T, class F>
Attribute invocable(U16 number, const char* name, AttrKind kind, F call) {
  Attribute a{number, name, kind};
  a.invoke = [call](void* obj, const Args& args) -> Value {
    T& t = *static_cast<T*>(obj);
    if constexpr (std::is_void_v<std::invoke_result_t<F, T&, const Args&>>) {
      std::invoke(call, t, args);
      return Value();
    } else {
      return Value(std::invoke(call, t, args));
    }
  };
  return a;
}

/// A handler without arguments, `void T::handleX()`.
template <class T>
Attribute handler(U16 number, const char* name, void (T::*m)()) {
  return invocable<T>(number, name, AttrKind::handler, [m](T& t, const Args&) { (t.*m)(); });
}

/// An operation without arguments returning a value, `R T::m() const` (or non-const).
template <class T, class M>
Attribute operation(U16 number, const char* name, M m) {
  return invocable<T>(number, name, AttrKind::operation,
                      [m](T& t, const Args&) { return std::invoke(m, t); });
}

/// An owned pointer attribute: read through `get`, `Is` through `is(T&, const Args&)`, `Del`
/// through `del(T&)`, which returns the removed pointer (generic access: nothing when null).
template <class T, class G, class I, class D>
Attribute pointer(U16 number, const char* name, G get, I is, D del) {
  Attribute a = computed<T>(number, name, get);
  a.kind = AttrKind::pointer;
  a.node = [get](const void* obj) {
    return Pondo::Ptr<Pondo::Node>(std::invoke(get, *static_cast<const T*>(obj)));
  };
  a.set = [is](void* obj, const Args& args) { is(*static_cast<T*>(obj), args); };
  a.del = [del](void* obj, const Args&) {
    auto removed = del(*static_cast<T*>(obj));
    return removed ? Value(std::move(removed)) : Value();
  };
  return a;
}

/// A keyed collection attribute over the hash collection `get(const T&)` returns: count,
/// version, membership and, for maps, the member of a key. `Is` through `is(T&, const Args&)`,
/// `Del` through `del(T&, const Args&)`, which returns what generic access hands back.
template <class T, class G, class I, class D>
Attribute collection(U16 number, const char* name, G get, I is, D del) {
  using Map = std::decay_t<std::invoke_result_t<G, const T&>>;
  using Key = typename Map::KeyType;
  Attribute a{number, name, AttrKind::collection};
  a.set = [is](void* obj, const Args& args) { is(*static_cast<T*>(obj), args); };
  a.del = [del](void* obj, const Args& args) -> Value { return del(*static_cast<T*>(obj), args); };
  auto map = [get](const void* obj) -> const Map& { return get(*static_cast<const T*>(obj)); };
  a.collection.count = [map](const void* obj) { return map(obj).count(); };
  a.collection.version = [map](const void* obj) { return map(obj).version(); };
  a.collection.contains = [map](const void* obj, const Value& key) {
    return map(obj).contains(std::any_cast<Key>(key));
  };
  if constexpr (!Map::isSet) {
    a.collection.find = [map](const void* obj, const Value& key) {
      const auto* member = map(obj).find(std::any_cast<Key>(key));
      return member ? Value(*member) : Value();
    };
  }
  return a;
}

/// `a`, marked as an argument of the type's constructor.
inline Attribute ctorArg(Attribute a) {
  a.ctorArg = true;
  return a;
}

/// The generic operations of a value type from its own: default constructor, copy,
/// `operator<<` (text), `sequenceToValue` (parse), `hash(seed)`, `<=>`, equality with the
/// default value.
template <class T>
TypeOps valueOps() {
  TypeOps ops;
  ops.defaultConstruct = [] { return Value(T()); };
  ops.copy = [](void* dst, const void* src) { new (dst) T(*static_cast<const T*>(src)); };
  ops.destroy = [](void* obj) { static_cast<T*>(obj)->~T(); };
  ops.text = [](const void* obj) {
    std::ostringstream out;
    out << *static_cast<const T*>(obj);
    return Pondo::String(out.str());
  };
  ops.parse = [](const Pondo::String& text) {
    return Value(strepToValue(text, static_cast<T*>(nullptr)));
  };
  ops.hash = [](const void* obj) { return hashValue(*static_cast<const T*>(obj), 0); };
  ops.isEq = [](const void* a, const void* b) {
    return *static_cast<const T*>(a) == *static_cast<const T*>(b);
  };
  ops.less = [](const void* a, const void* b) {
    return *static_cast<const T*>(a) < *static_cast<const T*>(b);
  };
  ops.isNonDefault = [](const void* obj) { return !(*static_cast<const T*>(obj) == T()); };
  return ops;
}

}  // namespace Qel::Reg
