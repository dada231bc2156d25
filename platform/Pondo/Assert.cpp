// Pondo/Assert.cpp — the fatal stop behind PONDO_ASSERT and PONDO_ASSERT_MSG.
#include "Pondo/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace Pondo::Impl {

void assertFailed(const char* text, const char* file, int line, const char* function) {
  std::fprintf(stderr, "%s:%d: %s: assertion failed: %s\n", file, line, function, text);
  std::fflush(stderr);
  std::abort();
}

}  // namespace Pondo::Impl
