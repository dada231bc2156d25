// Qel/EnumType.h — generic support for registered one-byte enumerations.
///
/// An enumeration registers its enumerators (name text and number, in order) with its type;
/// these functions read that registration, so an enumeration needs no table of its own.
/// A number or name that is none of the enumerators raises `Qel::RangeException`.
#pragma once

#include <string_view>

#include "Pondo/String.h"
#include "Pondo/Types.h"
#include "Qel/CharRange.h"
#include "Qel/TypeData.h"

namespace Qel {

struct EnumType {
  /// The enumerator with `number`.
  static U8 instance(const TypeData& type, U32 number);
  /// The enumerator whose name text is `name`.
  static U8 instance(const TypeData& type, std::string_view name);
  /// The name text of `number`; a number that is no enumerator reads "invalid(N)".
  static Pondo::String stringValue(const TypeData& type, U32 number);
  /// Reads an enumerator name at the front of `range` and advances past it.
  static U8 sequenceToValue(const TypeData& type, CharRange& range);
};

}  // namespace Qel
