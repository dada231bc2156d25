// Qel/Module.h — a type module: the ordered list of types one source unit registers.
///
/// A source unit defines one static `Module`, adds its types in a fixed order (a type's index
/// is its position) and calls `qelModuleIs` once from its static initialiser. The process
/// registry finds modules and types by name; a module leaves the registry when it is destroyed
/// (library unload). Types keep their addresses for the module's life.
#pragma once

#include <deque>
#include <string_view>

#include "Qel/TypeData.h"

namespace Qel {

class Module {
 public:
  explicit Module(const char* name) : name_(name) {}
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  ~Module();

  const char* name() const noexcept { return name_; }
  /// Appends a type; its index is the number of types added before it.
  TypeData& typeIs(const char* typeName, TypeKind kind);
  const TypeData& type(U16 index) const { return types_.at(index); }
  const TypeData* type(std::string_view typeName) const noexcept;
  U16 typeCount() const noexcept { return static_cast<U16>(types_.size()); }

 private:
  const char* name_;
  std::deque<TypeData> types_;
};

/// Registers `module` with the process (once per module) and returns it.
const Module& qelModuleIs(Module& module);
/// The registered module of that name, or null.
const Module* qelModule(std::string_view name) noexcept;
/// The registered type of that name in any module, or null.
const TypeData* qelType(std::string_view typeName) noexcept;

}  // namespace Qel
