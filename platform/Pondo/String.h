// Pondo/String.h — the immutable, shared string value of the platform.
///
/// A `String` never changes after construction; copies share one counted buffer, so passing
/// strings by value is cheap. The empty string owns no buffer. The text is NUL-terminated.
#pragma once

#include <compare>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

#include "Pondo/Types.h"

namespace Pondo {

class String {
 public:
  String() noexcept = default;
  String(const char* text) : String(std::string_view(text ? text : "")) {}
  String(std::string_view text);
  String(const std::string& text) : String(std::string_view(text)) {}
  String(const String& other) noexcept : rep_(other.rep_) { acquire(); }
  String(String&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  ~String() { release(); }

  String& operator=(const String& other) noexcept {
    String(other).swap(*this);
    return *this;
  }
  String& operator=(String&& other) noexcept {
    String(static_cast<String&&>(other)).swap(*this);
    return *this;
  }
  void swap(String& other) noexcept { std::swap(rep_, other.rep_); }

  const char* c_str() const noexcept { return rep_ ? rep_->text : ""; }
  std::string_view view() const noexcept {
    return rep_ ? std::string_view(rep_->text, rep_->size) : "";
  }
  std::string stdString() const { return std::string(view()); }
  U32 size() const noexcept { return rep_ ? rep_->size : 0; }
  bool empty() const noexcept { return rep_ == nullptr; }

  friend bool operator==(const String& a, const String& b) noexcept {
    return a.rep_ == b.rep_ || a.view() == b.view();
  }
  friend std::strong_ordering operator<=>(const String& a, const String& b) noexcept {
    return a.view() <=> b.view();
  }
  friend bool operator==(const String& a, std::string_view b) noexcept { return a.view() == b; }
  friend bool operator==(const String& a, const char* b) noexcept { return a.view() == b; }

 private:
  struct Rep {
    U32 refs;
    U32 size;
    char text[1];
  };

  void acquire() const noexcept;
  void release() noexcept;

  Rep* rep_ = nullptr;
};

std::ostream& operator<<(std::ostream& out, const String& s);

}  // namespace Pondo

template <>
struct std::hash<Pondo::String> {
  std::size_t operator()(const Pondo::String& s) const noexcept {
    return std::hash<std::string_view>()(s.view());
  }
};
