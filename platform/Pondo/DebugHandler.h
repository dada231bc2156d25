// Pondo/DebugHandler.h — named trace handlers with a 16-bit level mask, and `fmtrace`.
///
/// A handler of a given name exists once per process; bit N of its mask enables level N.
/// Callers test the level first and only then format (the test is one inline bit test):
///
///     if (handler->enabled(7)) Pondo::fmtrace(*handler, 7, __FILE__, __func__, __LINE__,
///                                             "Machine", "inserting k1={}", key);
///
/// `fmtrace` itself does not look at the level.
#pragma once

#include <fmt/format.h>

#include <cstring>
#include <utility>

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pondo/String.h"

namespace Pondo {
namespace Platform {

class DebugHandler : public Node {
 public:
  explicit DebugHandler(String name) : name_(std::move(name)) {}

  const String& name() const noexcept { return name_; }
  U16 levelMask() const noexcept { return mask_; }
  void levelMaskIs(U16 mask) noexcept { mask_ = mask; }
  bool enabled(unsigned level) const noexcept { return level < 16 && ((mask_ >> level) & 1u); }

 private:
  String name_;
  U16 mask_ = 0;
};

/// The process's handler named `name`, created (all levels off) on first use. `flag` is
/// accepted for compatibility and has no effect.
Ptr<DebugHandler> getDebugHandler(const String& name, bool flag);

}  // namespace Platform

namespace Impl {
/// Formats the message and hands it to the trace sink with its position.
void vfmtrace(const Platform::DebugHandler& handler, unsigned short level, const char* component,
              const char* file, const char* function, int line, fmt::string_view format,
              fmt::format_args args);
}  // namespace Impl

template <class Handler, class... Args>
void fmtrace(const Handler& handler, unsigned short level, const char* file, const char* function,
             int line, const char* component, const char* format, Args&&... args) {
  const fmt::string_view fmtView(format, std::strlen(format));
  Impl::vfmtrace(handler, level, component, file, function, line, fmtView,
                 fmt::make_format_args(args...));
}

}  // namespace Pondo
