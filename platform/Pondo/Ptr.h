// Pondo/Ptr.h — the owning counted pointer to a `Pondo::Node`.
///
/// `Ptr<T>` owns one reference; raw pointers never do. Moving a `Ptr` leaves the count alone,
/// copying adds one, destroying or resetting releases one (which may destroy the node).
/// A new node is born holding its creator's reference (count 1, see Pondo/Node.h): the first
/// `Ptr` adopts it (`Pondo::make`, `Ptr::adopt`); `Ptr(T*)` takes a further reference on a node
/// that is already alive, such as `this` inside a member function.
#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

#include "Pondo/Node.h"

namespace Pondo {

template <class T>
class Ptr {
 public:
  using element_type = T;

  constexpr Ptr() noexcept = default;
  constexpr Ptr(std::nullptr_t) noexcept {}
  /// Takes a new reference on `p` (which may be null).
  explicit Ptr(T* p) noexcept : p_(p) { acquire(); }
  /// Takes over the reference a node is born with: `Ptr<T>::adopt(new T(...))`.
  static Ptr adopt(T* fresh) noexcept {
    Ptr out;
    out.p_ = fresh;
    return out;
  }
  Ptr(const Ptr& other) noexcept : p_(other.p_) { acquire(); }
  Ptr(Ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ptr(const Ptr<U>& other) noexcept : p_(other.get()) {
    acquire();
  }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ptr(Ptr<U>&& other) noexcept : p_(other.releaseRaw()) {}
  ~Ptr() { release(); }

  Ptr& operator=(const Ptr& other) noexcept {
    Ptr(other).swap(*this);
    return *this;
  }
  Ptr& operator=(Ptr&& other) noexcept {
    Ptr(std::move(other)).swap(*this);
    return *this;
  }
  Ptr& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }

  void reset() noexcept { Ptr().swap(*this); }
  void swap(Ptr& other) noexcept { std::swap(p_, other.p_); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  /// Hands the reference over to the caller as a raw pointer; for converting moves only.
  T* releaseRaw() noexcept { return std::exchange(p_, nullptr); }

  template <class U>
  bool operator==(const Ptr<U>& other) const noexcept {
    return p_ == other.get();
  }
  bool operator==(std::nullptr_t) const noexcept { return p_ == nullptr; }

 private:
  void acquire() const noexcept {
    if (p_) p_->newRef();
  }
  void release() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->delRef();
  }

  T* p_ = nullptr;
};

/// A counted pointer to a new node, allocated with the type's own `operator new`.
template <class T, class... Args>
Ptr<T> make(Args&&... args) {
  return Ptr<T>::adopt(new T(std::forward<Args>(args)...));
}

/// `dynamic_cast` for counted pointers; null when `p` is not a `T`.
template <class T, class U>
Ptr<T> dynamicPtrCast(const Ptr<U>& p) noexcept {
  return Ptr<T>(dynamic_cast<T*>(p.get()));
}

}  // namespace Pondo

template <class T>
struct std::hash<Pondo::Ptr<T>> {
  std::size_t operator()(const Pondo::Ptr<T>& p) const noexcept { return std::hash<T*>()(p.get()); }
};
