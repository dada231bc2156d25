// Snmp/AutoRegistree.cpp — the registree list and the per-context initialisation pass.
#include "Snmp/AutoRegistree.h"

#include "Pondo/Assert.h"

namespace Snmp {

/// One `initHandlers` in progress: the registree it calls next. Registrees keep it valid as
/// they come and go.
struct AutoRegistree::Pass {
  AutoRegistree* next;
  Pass* outer;

  explicit Pass(AutoRegistree* first) : next(first), outer(passes_) { passes_ = this; }
  Pass(const Pass&) = delete;
  Pass& operator=(const Pass&) = delete;
  ~Pass() { passes_ = outer; }
};

constinit AutoRegistree* AutoRegistree::head_ = nullptr;
constinit AutoRegistree* AutoRegistree::tail_ = nullptr;
constinit U32 AutoRegistree::count_ = 0;
constinit AutoRegistree::Pass* AutoRegistree::passes_ = nullptr;

AutoRegistree::AutoRegistree(HandlerRegistration* registration)
    : registration_(registration), prev_(tail_) {
  PONDO_ASSERT_MSG(registration, "AutoRegistree needs a registration object");
  (tail_ ? tail_->next_ : head_) = this;
  tail_ = this;
  ++count_;
  // A pass that has run out of registrees reaches the new one.
  for (Pass* p = passes_; p; p = p->outer) {
    if (!p->next) p->next = this;
  }
}

AutoRegistree::~AutoRegistree() {
  for (Pass* p = passes_; p; p = p->outer) {
    if (p->next == this) p->next = next_;
  }
  (prev_ ? prev_->next_ : head_) = next_;
  (next_ ? next_->prev_ : tail_) = prev_;
  --count_;
}

void AutoRegistree::initHandlers(const Pondo::String& context) {
  Pass pass(head_);
  while (AutoRegistree* r = pass.next) {
    pass.next = r->next_;
    r->registration_->initHandler(context);
  }
}

}  // namespace Snmp
