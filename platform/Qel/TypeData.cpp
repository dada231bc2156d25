// Qel/TypeData.cpp — type registration, the module registry and generic attribute access.
#include "Qel/TypeData.h"

#include <algorithm>
#include <map>
#include <string>

#include "Pondo/Assert.h"
#include "Qel/Exception.h"
#include "Qel/Module.h"

namespace Qel {

namespace {

std::map<std::string_view, Module*>& registry() {
  static auto* modules = new std::map<std::string_view, Module*>;
  return *modules;
}

[[noreturn]] void throwNoAttribute(const TypeData& type, U16 number, const char* what) {
  throw AttributeException(std::string(type.name()) + " attribute " + std::to_string(number) +
                           ": " + what);
}

const Attribute& attributeOf(const TypeData& type, U16 number) {
  if (const Attribute* a = type.attribute(number)) return *a;
  throwNoAttribute(type, number, "no such attribute");
}

}  // namespace

const Attribute* TypeData::attribute(U16 number) const noexcept {
  auto it = std::find_if(attributes_.begin(), attributes_.end(),
                         [number](const Attribute& a) { return a.number == number; });
  return it == attributes_.end() ? nullptr : &*it;
}

const Attribute* TypeData::attribute(std::string_view name) const noexcept {
  auto it = std::find_if(attributes_.begin(), attributes_.end(),
                         [name](const Attribute& a) { return name == a.name; });
  return it == attributes_.end() ? nullptr : &*it;
}

TypeData& TypeData::attributeIs(Attribute a) {
  PONDO_ASSERT_MSG(!attribute(a.number), "attribute number registered twice");
  attributes_.push_back(std::move(a));
  return *this;
}

TypeData& TypeData::enumeratorsIs(std::vector<Enumerator> e) {
  enumerators_ = std::move(e);
  return *this;
}

TypeData& TypeData::opsIs(TypeOps ops) {
  ops_ = std::move(ops);
  return *this;
}

Module::~Module() {
  auto it = registry().find(name_);
  if (it != registry().end() && it->second == this) registry().erase(it);
}

TypeData& Module::typeIs(const char* typeName, TypeKind kind) {
  TypeData& t = types_.emplace_back(typeName, kind);
  t.module_ = this;
  t.index_ = static_cast<U16>(types_.size() - 1);
  return t;
}

const TypeData* Module::type(std::string_view typeName) const noexcept {
  for (const TypeData& t : types_) {
    if (typeName == t.name()) return &t;
  }
  return nullptr;
}

const Module& qelModuleIs(Module& module) {
  auto [it, inserted] = registry().try_emplace(module.name(), &module);
  PONDO_ASSERT_MSG(inserted || it->second == &module, "two modules registered under one name");
  return module;
}

const Module* qelModule(std::string_view name) noexcept {
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second;
}

const TypeData* qelType(std::string_view typeName) noexcept {
  for (const auto& [name, module] : registry()) {
    if (const TypeData* t = module->type(typeName)) return t;
  }
  return nullptr;
}

Value attrRead(const TypeData& type, const void* obj, U16 number) {
  const Attribute& a = attributeOf(type, number);
  if (!a.read) throwNoAttribute(type, number, "cannot be read");
  return a.read(obj);
}

void attrSet(const TypeData& type, void* obj, U16 number, const Args& args) {
  const Attribute& a = attributeOf(type, number);
  if (!a.set) throwNoAttribute(type, number, "cannot be set");
  a.set(obj, args);
}

Pondo::Ptr<Pondo::Node> attrNode(const TypeData& type, const void* obj, U16 number) {
  const Attribute& a = attributeOf(type, number);
  if (!a.node) throwNoAttribute(type, number, "is no pointer");
  return a.node(obj);
}

Value attrDel(const TypeData& type, void* obj, U16 number, const Args& args) {
  const Attribute& a = attributeOf(type, number);
  if (!a.del) throwNoAttribute(type, number, "cannot be deleted");
  return a.del(obj, args);
}

Value attrInvoke(const TypeData& type, void* obj, U16 number, const Args& args) {
  const Attribute& a = attributeOf(type, number);
  if (!a.invoke) throwNoAttribute(type, number, "cannot be invoked");
  return a.invoke(obj, args);
}

const CollectionAccess& attrCollection(const TypeData& type, U16 number) {
  const Attribute& a = attributeOf(type, number);
  if (a.kind != AttrKind::collection) throwNoAttribute(type, number, "is not a collection");
  return a.collection;
}

void throwBadArgument(std::size_t index, const char* expected) {
  throw AttributeException("argument " + std::to_string(index) + " missing or not a " + expected);
}

}  // namespace Qel
