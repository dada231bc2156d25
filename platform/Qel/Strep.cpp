// Qel/Strep.cpp — generic value text from the registered fields.
#include "Qel/Strep.h"

#include <sstream>

namespace Qel {

Pondo::String valueToStrep(const void* value, const TypeData& type) {
  std::ostringstream out;
  out << '{';
  const char* separator = "";
  for (const Attribute& a : type.attributes()) {
    if (!a.print) continue;
    out << separator << a.name << '=';
    a.print(out, value);
    separator = ", ";
  }
  out << '}';
  return Pondo::String(out.str());
}

}  // namespace Qel
