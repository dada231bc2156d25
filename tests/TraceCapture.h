// tests/TraceCapture.h — collects the trace records produced while it is alive.
#pragma once

#include <string>
#include <vector>

#include "Pondo/DebugHandler.h"
#include "Pondo/Trace.h"

class TraceCapture : public Pondo::TraceSink {
 public:
  TraceCapture() : previous_(Pondo::traceSinkIs(this)) {}
  ~TraceCapture() override { Pondo::traceSinkIs(previous_); }

  void record(const Pondo::TraceRecord& r) override { records.push_back(r); }

  /// Texts of the records of `facility`, in order.
  std::vector<std::string> texts(const std::string& facility) const {
    std::vector<std::string> out;
    for (const auto& r : records) {
      if (r.facility == facility) out.push_back(r.text);
    }
    return out;
  }

  std::vector<Pondo::TraceRecord> records;

 private:
  Pondo::TraceSink* previous_;
};

/// Sets the level mask of the named handler for the life of the object.
class TraceLevels {
 public:
  TraceLevels(const char* name, U16 mask)
      : handler_(Pondo::Platform::getDebugHandler(name, false)), previous_(handler_->levelMask()) {
    handler_->levelMaskIs(mask);
  }
  ~TraceLevels() { handler_->levelMaskIs(previous_); }

 private:
  Pondo::Ptr<Pondo::Platform::DebugHandler> handler_;
  U16 previous_;
};
