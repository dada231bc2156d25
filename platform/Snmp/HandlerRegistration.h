// Snmp/HandlerRegistration.h — what a plug-in hands the agent host to be initialised per context.
///
/// A plug-in owns one registration object and announces it with a `Snmp::AutoRegistree`. The
/// host then calls `initHandler(context)` once for every SNMP context it serves, and never calls
/// the object again once its `AutoRegistree` is gone.
#pragma once

#include "Pondo/String.h"

namespace Snmp {

class HandlerRegistration {
 public:
  virtual ~HandlerRegistration() = default;

  /// Registers the plug-in's tables with the agent for `context`.
  virtual void initHandler(Pondo::String context) = 0;
};

}  // namespace Snmp
