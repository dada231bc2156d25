// Pondo/Trace.h — the record every trace channel of the platform produces, and its sink.
///
/// Trace facilities (`Pondo::Platform::DebugHandler`, `Qel::TraceHandle`) test their level
/// before building anything; once a message is built it becomes one `TraceRecord` handed to the
/// process's sink. The default sink prints to standard error; tests install their own.
#pragma once

#include <string>

#include "Pondo/Types.h"

namespace Pondo {

struct TraceRecord {
  std::string facility;  // the handler's name, e.g. "StormControlIfTableSm" or "Snmp"
  U16 level;
  std::string component;  // the class or module that traced, may be empty
  const char* file;
  const char* function;
  int line;
  std::string text;
};

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void record(const TraceRecord& r) = 0;
};

/// Installs `sink` (not owned; null restores the standard-error sink) and returns the previous.
TraceSink* traceSinkIs(TraceSink* sink) noexcept;
TraceSink& traceSink() noexcept;

}  // namespace Pondo
