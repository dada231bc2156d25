// Pondo/Node.h — the intrusive reference-counted base of every shared object.
///
/// A node carries a 32-bit use count and a byte of flags. `Pondo::Ptr` adds one to the count
/// when it starts pointing at a node and subtracts one when it stops; when the count drops to
/// zero, `lastUserGone()` runs, which by default destroys the node. A new node has count 1,
/// the reference of its creator, which `Pondo::make` (or `Ptr::adopt`) hands to its first
/// `Ptr`. So a node is never at 0 while its constructor runs, and a reference taken and
/// released there (a guard, a publication reaching it) cannot destroy it:
///
///     Pondo::Ptr<Row> row = Pondo::make<Row>(...);  // count 1
///     auto copy = row;            // count 2 (atomic only while ThreadControl::tsp_)
///     Pondo::Ptr<Row> leak{new Row(...)};  // count 2: never freed; make or adopt instead
///
/// Nodes are neither copyable nor movable: their identity is their address.
#pragma once

#include <atomic>

#include "Pondo/ThreadControl.h"
#include "Pondo/Types.h"

namespace Pondo {

class Publisher;

class Node {
 public:
  /// Bits of the node's flag byte.
  enum class Flag : U8 {
    hasNotificationActive = 1u << 0,  // the node's subscriptions deliver
    markAndSweep = 1u << 1,           // zombie mark: notifications reaching the node are dropped
  };

  Node() noexcept = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  virtual ~Node() = default;

  /// Called when the last reference is released; the default destroys the node.
  virtual void lastUserGone() { lastUserGoneImpl(); }
  /// The node's own publisher, or null when it publishes nothing.
  virtual Publisher* publisher() const { return nullptr; }

  U32 references() const noexcept { return useCount_; }

  void newRef() const noexcept {
    if (ThreadControl::tsp_) {
      std::atomic_ref<U32>(useCount_).fetch_add(1, std::memory_order_relaxed);
      return;
    }
    ++useCount_;
  }

  void delRef() const noexcept {
    U32 left;
    if (ThreadControl::tsp_) {
      left = std::atomic_ref<U32>(useCount_).fetch_sub(1, std::memory_order_acq_rel) - 1;
    } else {
      left = --useCount_;
    }
    if (left == 0) const_cast<Node*>(this)->lastUserGone();
  }

  bool nodeFlag(Flag flag) const noexcept { return (flags_ & static_cast<U8>(flag)) != 0; }
  void nodeFlagSet(Flag flag, bool value) noexcept {
    flags_ = value ? U8(flags_ | static_cast<U8>(flag)) : U8(flags_ & ~static_cast<U8>(flag));
  }
  bool hasNotificationActive() const noexcept { return nodeFlag(Flag::hasNotificationActive); }
  bool markAndSweepFlag() const noexcept { return nodeFlag(Flag::markAndSweep); }
  void markAndSweepFlagSet(bool value) noexcept { nodeFlagSet(Flag::markAndSweep, value); }

 protected:
  void lastUserGoneImpl() { delete this; }

 private:
  mutable U32 useCount_ = 1;  // the creator's reference
  U8 flags_ = 0;
};

}  // namespace Pondo
