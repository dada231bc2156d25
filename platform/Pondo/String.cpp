// Pondo/String.cpp — shared buffers of `Pondo::String`.
#include "Pondo/String.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <ostream>

#include "Pondo/ThreadControl.h"

namespace Pondo {

String::String(std::string_view text) {
  if (text.empty()) return;
  void* memory = std::malloc(offsetof(Rep, text) + text.size() + 1);
  if (!memory) throw std::bad_alloc();
  rep_ = static_cast<Rep*>(memory);
  rep_->refs = 1;
  rep_->size = static_cast<U32>(text.size());
  std::memcpy(rep_->text, text.data(), text.size());
  rep_->text[text.size()] = '\0';
}

void String::acquire() const noexcept {
  if (!rep_) return;
  if (ThreadControl::tsp_) {
    std::atomic_ref<U32>(rep_->refs).fetch_add(1, std::memory_order_relaxed);
    return;
  }
  ++rep_->refs;
}

void String::release() noexcept {
  if (!rep_) return;
  U32 left = ThreadControl::tsp_
                 ? std::atomic_ref<U32>(rep_->refs).fetch_sub(1, std::memory_order_acq_rel) - 1
                 : --rep_->refs;
  if (left == 0) std::free(rep_);
  rep_ = nullptr;
}

std::ostream& operator<<(std::ostream& out, const String& s) { return out << s.view(); }

}  // namespace Pondo
