// Pondo/DebugHandler.cpp — the handler registry, `vfmtrace` and the default trace sink.
#include "Pondo/DebugHandler.h"

#include <cstdio>
#include <map>

#include "Pondo/Trace.h"

namespace Pondo {

namespace {

class StderrSink final : public TraceSink {
 public:
  void record(const TraceRecord& r) override {
    std::fprintf(stderr, "%s/%u %s%s%s: %s\n", r.facility.c_str(), unsigned(r.level),
                 r.component.c_str(), r.component.empty() ? "" : "::", r.function, r.text.c_str());
  }
};

StderrSink stderrSink;
TraceSink* currentSink = &stderrSink;

}  // namespace

TraceSink* traceSinkIs(TraceSink* sink) noexcept {
  TraceSink* previous = currentSink;
  currentSink = sink ? sink : &stderrSink;
  return previous;
}

TraceSink& traceSink() noexcept { return *currentSink; }

namespace Platform {

Ptr<DebugHandler> getDebugHandler(const String& name, bool /*flag*/) {
  // Handlers live for the whole process; the registry holds one reference to each.
  static auto* handlers = new std::map<String, Ptr<DebugHandler>>;
  auto [it, inserted] = handlers->try_emplace(name);
  if (inserted) it->second = make<DebugHandler>(name);
  return it->second;
}

}  // namespace Platform

namespace Impl {

void vfmtrace(const Platform::DebugHandler& handler, unsigned short level, const char* component,
              const char* file, const char* function, int line, fmt::string_view format,
              fmt::format_args args) {
  traceSink().record(TraceRecord{handler.name().stdString(), level, component ? component : "",
                                 file, function, line, fmt::vformat(format, args)});
}

}  // namespace Impl
}  // namespace Pondo
