// Pondo/Assert.cpp — the fatal stop behind PONDO_ASSERT and vfmassert.
#include "Pondo/Assert.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace Pondo::Impl {

void assertFailed(const char* text, const char* file, int line, const char* function) {
  std::fprintf(stderr, "%s:%d: %s: assertion failed: %s\n", file, line, function, text);
  std::fflush(stderr);
  std::abort();
}

void vfmassert(const char* file, int line, const char* function, fmt::string_view format,
               fmt::format_args args) {
  const std::string text = fmt::vformat(format, args);
  assertFailed(text.c_str(), file, line, function);
}

}  // namespace Pondo::Impl
