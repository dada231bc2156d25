// Snmp/AutoRegistree.h — the process-wide list of plug-in registration objects.
///
/// A plug-in constructs one `AutoRegistree` at load with its registration object (not owned)
/// and destroys it at unload, before the registration object. While the registree lives, the
/// host's `initHandlers(context)` calls the object's `initHandler(context)`; registrations are
/// called in the order their registrees were constructed.
///
/// Re-entrancy: an `initHandler` may construct or destroy registrees, and may start a nested
/// pass. A registree constructed during a pass is called in that pass (it joins the end of the
/// list); one destroyed before its turn is not called. The list needs no allocation and is
/// usable during static initialisation. Single thread.
#pragma once

#include "Pondo/String.h"
#include "Pondo/Types.h"
#include "Snmp/HandlerRegistration.h"

namespace Snmp {

class AutoRegistree {
 public:
  explicit AutoRegistree(HandlerRegistration* registration);
  AutoRegistree(const AutoRegistree&) = delete;
  AutoRegistree& operator=(const AutoRegistree&) = delete;
  ~AutoRegistree();

  HandlerRegistration* registration() const noexcept { return registration_; }

  /// Calls `initHandler(context)` of every live registration, in construction order.
  static void initHandlers(const Pondo::String& context);
  /// The number of live registrees.
  static U32 count() noexcept { return count_; }

 private:
  struct Pass;

  HandlerRegistration* registration_;
  AutoRegistree* prev_ = nullptr;
  AutoRegistree* next_ = nullptr;

  static constinit AutoRegistree* head_;
  static constinit AutoRegistree* tail_;
  static constinit U32 count_;
  static constinit Pass* passes_;  // the innermost pass in progress, linked outwards
};

}  // namespace Snmp
