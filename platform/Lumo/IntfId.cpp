// Lumo/IntfId.cpp — text form of interface identifiers.
#include "Lumo/IntfId.h"

#include <ostream>

namespace Lumo {

std::ostream& operator<<(std::ostream& out, const IntfId& id) { return out << id.stringValue(); }

}  // namespace Lumo
