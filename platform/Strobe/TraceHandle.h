// Strobe/TraceHandle.h — the handle of a fast-trace channel, as state machines pass it around.
///
/// A handle is identified by its address: machines keep a non-owning pointer to it in their
/// `Ostra::SmControl`. It carries only the channel's name.
#pragma once

#include <utility>

#include "Pondo/String.h"

namespace Strobe {

class TraceHandle {
 public:
  explicit TraceHandle(Pondo::String name) noexcept : name_(std::move(name)) {}
  TraceHandle(const TraceHandle&) = delete;
  TraceHandle& operator=(const TraceHandle&) = delete;

  const Pondo::String& name() const noexcept { return name_; }

 private:
  Pondo::String name_;
};

}  // namespace Strobe
