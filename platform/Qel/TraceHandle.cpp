// Qel/TraceHandle.cpp — trace handles over the shared debug handlers.
#include "Qel/TraceHandle.h"

#include "Pondo/Trace.h"

namespace Qel {

TraceHandle::TraceHandle(const Pondo::String& name, bool flag)
    : handler_(Pondo::Platform::getDebugHandler(name, flag)) {}

TraceHelper::~TraceHelper() {
  Pondo::traceSink().record(Pondo::TraceRecord{handle_.handler().name().stdString(),
                                               static_cast<U16>(level_), "", file_, function_,
                                               line_, stream_.str()});
}

}  // namespace Qel
