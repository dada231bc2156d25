// Pondo/Publisher.cpp — subscriber lists that stay consistent while they are being delivered.
#include "Pondo/Publisher.h"

#include "Pondo/Assert.h"

namespace Pondo {

/// A delivery in progress: the next subscriber to call and the last one that takes part.
/// Lives on the stack of `publishChangeRecursive`; the publisher patches it when subscribers
/// leave, and clears `publisher` when the publisher itself is destroyed.
struct Publisher::Delivery {
  Publisher* publisher;
  Subscriber* next;
  Subscriber* last;
  Delivery* outer;
};

Publisher::~Publisher() {
  for (Delivery* d = deliveries_; d; d = d->outer) {
    d->publisher = nullptr;
    d->next = nullptr;
  }
  while (head_) subscriberRemove(*head_);
}

void Publisher::subscriberAdd(Subscriber& s, bool first) {
  PONDO_ASSERT_MSG(!s.publisher_, "subscriber is already attached to a publisher");
  s.publisher_ = this;
  if (first) {
    s.next_ = head_;
    (head_ ? head_->prev_ : tail_) = &s;
    head_ = &s;
    return;
  }
  s.prev_ = tail_;
  (tail_ ? tail_->next_ : head_) = &s;
  tail_ = &s;
}

void Publisher::subscriberRemove(Subscriber& s) noexcept {
  if (s.publisher_ != this) return;
  for (Delivery* d = deliveries_; d; d = d->outer) {
    if (d->last == &s) {
      d->last = s.prev_;
      if (d->next == &s) d->next = nullptr;  // s was the last one due: nothing follows
    }
    if (d->next == &s) d->next = s.next_;
  }
  (s.prev_ ? s.prev_->next_ : head_) = s.next_;
  (s.next_ ? s.next_->prev_ : tail_) = s.prev_;
  s.prev_ = s.next_ = nullptr;
  s.publisher_ = nullptr;
}

void Publisher::deliver(const Change& change) {
  Delivery d{this, head_, tail_, deliveries_};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
  deliveries_ = &d;  // unlinked by `done`, or cleared by ~Publisher
#pragma GCC diagnostic pop
  // Unlinks the record however the delivery ends, a throwing subscriber included.
  struct Done {
    Delivery& d;
    ~Done() {
      if (d.publisher) d.publisher->deliveries_ = d.outer;
    }
  } done{d};
  while (Subscriber* s = d.next) {
    d.next = s == d.last ? nullptr : s->next_;
    s->handler_(s->owner_, change);
  }
}

}  // namespace Pondo
