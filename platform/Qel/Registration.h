// Qel/Registration.h — building blocks for registering types and attributes.
///
/// Registration code states each attribute once, by number, name and accessor:
///
///     type.attributeIs(Qel::Reg::field<Key>(2, "ifIndex", &Key::ifIndex));
///     type.opsIs(Qel::Reg::valueOps<Key>());
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
#include "Qel/Strep.h"
#include "Qel/TypeData.h"

namespace Qel::Reg {

template <class T, class G>
using ReadType = std::decay_t<std::invoke_result_t<G, const T&>>;

/// A stored field, read-only through generic access; part of the text form when printable.
template <class T, class G>
Attribute field(U16 number, const char* name, G get, bool ctorArg = false) {
  Attribute a{number, name, AttrKind::field, ctorArg};
  a.read = [get](const void* obj) {
    return Value(ReadType<T, G>(std::invoke(get, *static_cast<const T*>(obj))));
  };
  if constexpr (requires(std::ostream& out, const ReadType<T, G>& v) { out << v; }) {
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
