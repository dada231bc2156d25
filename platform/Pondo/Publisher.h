// Pondo/Publisher.h — synchronous change publication from a node to its subscribers.
///
/// A mutator that changes an attribute calls `publishChangeRecursive` after the change. Every
/// subscriber attached at that moment receives a `Change` naming the attribute by number, the
/// changed member's key (collections) and the previous value, all untyped: the subscriber knows
/// the attribute's types.
///
/// Re-entrancy rules:
/// - Delivery is synchronous and in subscription order; a subscriber may publish further
///   changes from its handler (deliveries nest, hence "recursive").
/// - A subscriber may remove itself or any other subscriber during delivery; a removed
///   subscriber receives nothing more, not even the change being delivered.
/// - A subscriber added during delivery receives only later changes.
/// - The publisher may be destroyed during delivery; delivery then stops.
/// - A subscriber that throws ends the delivery; the exception reaches the publisher's caller.
/// A `Subscriber` detaches itself when destroyed. Neither class owns the other.
#pragma once

#include "Pondo/Types.h"

namespace Pondo {

/// One published change.
struct Change {
  using KeyEq = bool (*)(const void*, const void*);

  U16 attribute;
  const void* key;       // the changed member's key; null for a single-valued attribute
  const void* previous;  // the previous value; null when there was none
  KeyEq keyEq;           // equality of keys of this attribute; null without a key

  /// Whether this change is about the collection member whose key is `k`.
  bool isKey(const void* k) const { return key && keyEq && keyEq(key, k); }
};

class Subscriber;

class Publisher {
 public:
  Publisher() noexcept = default;
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;
  ~Publisher();

  /// Attaches `s`, last in delivery order, or first when `first` is set. `s` must be detached.
  void subscriberAdd(Subscriber& s, bool first);
  /// Detaches `s`; does nothing when `s` is not attached here.
  void subscriberRemove(Subscriber& s) noexcept;

  void publishChangeRecursive(U16 attribute, const void* key, const void* previous,
                              Change::KeyEq keyEq) {
    if (head_) deliver(Change{attribute, key, previous, keyEq});
  }

  bool hasSubscribers() const noexcept { return head_ != nullptr; }

 private:
  struct Delivery;

  void deliver(const Change& change);

  Subscriber* head_ = nullptr;
  Subscriber* tail_ = nullptr;
  Delivery* deliveries_ = nullptr;  // innermost delivery in progress, linked outwards
};

class Subscriber {
 public:
  using Handler = void (*)(void* owner, const Change& change);

  Subscriber(void* owner, Handler handler) noexcept : owner_(owner), handler_(handler) {}
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;
  ~Subscriber() { unsubscribe(); }

  bool subscribed() const noexcept { return publisher_ != nullptr; }
  Publisher* publisher() const noexcept { return publisher_; }
  void unsubscribe() noexcept {
    if (publisher_) publisher_->subscriberRemove(*this);
  }

 private:
  friend class Publisher;

  void* owner_;
  Handler handler_;
  Publisher* publisher_ = nullptr;
  Subscriber* prev_ = nullptr;
  Subscriber* next_ = nullptr;
};

namespace Impl {
template <class M>
struct MemberOf;
template <class T, class R, class A>
struct MemberOf<R (T::*)(A)> {
  using type = T;
};
template <class T, class R>
struct MemberOf<R (T::*)()> {
  using type = T;
};
}  // namespace Impl

/// The `Subscriber::Handler` that calls member function `M` of the owner:
///   `Pondo::Subscriber slot_{this, Pondo::memberHandler<&Machine::dispatch>};`
template <auto M>
void memberHandler(void* owner, const Change& change) {
  using T = typename Impl::MemberOf<decltype(M)>::type;
  (static_cast<T*>(owner)->*M)(change);
}

}  // namespace Pondo
