// Pondo/Assert.h — fatal assertions that stay on in every build.
///
/// A broken precondition or invariant is a programmer error: the assertion writes its text to
/// standard error, flushes, and aborts. The text is what tests (death tests) match.
#pragma once

namespace Pondo {
namespace Impl {

[[noreturn]] void assertFailed(const char* text, const char* file, int line, const char* function);

}  // namespace Impl
}  // namespace Pondo

/// Stops the process with `#cond` as the text when `cond` is false.
#define PONDO_ASSERT(cond) \
  ((cond) ? static_cast<void>(0) : ::Pondo::Impl::assertFailed(#cond, __FILE__, __LINE__, __func__))

/// Stops the process with `text` when `cond` is false.
#define PONDO_ASSERT_MSG(cond, text) \
  ((cond) ? static_cast<void>(0) : ::Pondo::Impl::assertFailed(text, __FILE__, __LINE__, __func__))
