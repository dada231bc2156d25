// Qel/TraceHandle.h — the framework's trace facilities: levels 0 to 9 per facility name.
///
/// A `TraceHandle` names a facility; all handles of one name share its levels (they are the
/// levels of the debug handler of that name, Pondo/DebugHandler.h). A message is one
/// `TraceHelper` record streamed from pieces and emitted when the helper ends. Test the level
/// first; `QEL_TRACE` does so before anything is evaluated:
///
///     QEL_TRACE(trace, 1) << "initializing oid " << oidText << " in context \"" << ctx << '"';
#pragma once

#include <sstream>

#include "Pondo/DebugHandler.h"
#include "Pondo/Ptr.h"
#include "Pondo/String.h"

namespace Qel {

class TraceHandle {
 public:
  /// `flag` is accepted for compatibility and has no effect.
  TraceHandle(const Pondo::String& name, bool flag);

  bool enabled(unsigned level) const noexcept { return level <= 9 && handler_->enabled(level); }
  const Pondo::Platform::DebugHandler& handler() const noexcept { return *handler_; }

 private:
  Pondo::Ptr<Pondo::Platform::DebugHandler> handler_;
};

/// The stream a message is written into; numbers in decimal, pointers as addresses.
using TraceStream = std::ostringstream;

class TraceHelper {
 public:
  TraceHelper(const TraceHandle& handle, unsigned level, const char* file, int line,
              const char* function)
      : handle_(handle), level_(level), file_(file), line_(line), function_(function) {}
  TraceHelper(const TraceHelper&) = delete;
  TraceHelper& operator=(const TraceHelper&) = delete;
  ~TraceHelper();

  template <class T>
  TraceHelper& operator<<(const T& piece) {
    stream_ << piece;
    return *this;
  }

 private:
  const TraceHandle& handle_;
  unsigned level_;
  const char* file_;
  int line_;
  const char* function_;
  TraceStream stream_;
};

}  // namespace Qel

#define QEL_TRACE(handle, level)  \
  if (!(handle).enabled(level)) { \
  } else                          \
    ::Qel::TraceHelper(handle, level, __FILE__, __LINE__, __func__)
