// Qel/RbTreeMap.cpp — the part of the ordered collection that does not depend on the member type.
#include "Qel/RbTreeMap.h"

namespace Qel {

void RbTreeMapGeneric::assertDupKey() {
  Pondo::Impl::assertFailed("RbTreeMap: inserted a key that is already present", __FILE__,
                            __LINE__, __func__);
}

}  // namespace Qel
