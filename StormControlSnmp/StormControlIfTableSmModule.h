// StormControlSnmp/StormControlIfTableSmModule.h — the table machine's type module as its
// sources see it: the types' places in the module, how the machines trace, and the text of
// pipeline values in their traces.
///
/// Internal to the machine's sources (and their tests). Every trace goes through the tracing
/// object's `traceHandle()` and tests its level before any argument is evaluated.
#pragma once

#include <fmt/format.h>

#include <string>

#include "Lumo/IntfId.h"
#include "Pondo/DebugHandler.h"
#include "Pondo/String.h"
#include "Qel/TypeData.h"
#include "StormControlSnmp/StormControlIfTableSm.h"

/// Traces `format` at `level` from the calling function, labelled with the class's
/// `traceComponent`, through `traceHandle()`.
///
/// The texts (format and arguments) are the machine's contract: operators and tests read
/// them, so they stay as they are, odd spacing included. The component and function labels
/// only say where a trace came from; `SM_TRACE_FROM` names another function where the trace
/// speaks for it (the pipeline's steps for their entry point, the deletion scan for the
/// readiness handler).
#define SM_TRACE(level, ...) SM_TRACE_FROM(__func__, level, __VA_ARGS__)
#define SM_TRACE_FROM(function, level, ...)                                                       \
  do {                                                                                            \
    const Pondo::Platform::DebugHandler& smTrace_ = traceHandle();                                \
    if (smTrace_.enabled(level)) {                                                                \
      Pondo::fmtrace(smTrace_, level, __FILE__, function, __LINE__, traceComponent, __VA_ARGS__); \
    }                                                                                             \
  } while (0)

namespace StormControlSnmp {

/// The types of the module, in registration order.
enum class SmType : U16 {
  inputSmScanState,
  outputState,
  entityPtrSm1,
  ifMibSm2,
  sliceSm0,
  outputKey,
  machine,
};

const Qel::TypeData& smType(SmType type);

/// The handler the machine traces to when its control names none, "StormControlIfTableSm",
/// obtained when the library loads.
const Pondo::Ptr<Pondo::Platform::DebugHandler>& defaultTraceHandler();

namespace KrelCode {

/// A pipeline element of two values.
template <class A, class B>
struct Tuple {
  A first;
  B second;
};

using OutputElement = Tuple<StormControlIfTableKey, IntfStatusPtr>;

// Text of pipeline values in traces.
std::string krelPrint(const StormControlTCType& value);
std::string krelPrint(const Pondo::String& value);
std::string krelPrint(const Lumo::IntfId& value);
std::string krelPrint(const U32Optional& value);
std::string krelPrint(const IntfStatusOpt& value);
std::string krelPrint(const OutputElement& value);

}  // namespace KrelCode
}  // namespace StormControlSnmp

/// Formats a row key in traces as its text form.
template <>
struct fmt::formatter<StormControlSnmp::StormControlIfTableKey> : fmt::formatter<fmt::string_view> {
  auto format(const StormControlSnmp::StormControlIfTableKey& key, fmt::format_context& ctx) const
      -> decltype(ctx.out());
};
