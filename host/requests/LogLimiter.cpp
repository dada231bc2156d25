// host/requests/LogLimiter.cpp — per-kind rate limiting, and the gate that routes net-snmp's lines
// to it.
#include "LogLimiter.h"

// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>

#include <algorithm>
#include <cctype>
#include <string>

#include <fmt/format.h>

namespace Host {
namespace {

constexpr std::size_t kindWords = 3;
constexpr std::string_view otherKind = "(other)";

/// The first three words of `line`, each word with a digit in it written as "#".
std::string kindKey(std::string_view line) {
  std::string key;
  std::size_t words = 0;
  for (std::size_t i = 0; i < line.size() && words < kindWords;) {
    if (std::isspace(static_cast<unsigned char>(line[i]))) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
    const std::string_view word = line.substr(i, end - i);
    const bool numeric = std::any_of(word.begin(), word.end(), [](char c) {
      return std::isdigit(static_cast<unsigned char>(c));
    });
    if (words++) key += ' ';
    key += numeric ? std::string_view("#") : word;
    i = end;
  }
  return key;
}

void logToNetSnmp(int priority, std::string_view line) {
  snmp_log(priority, "%.*s", static_cast<int>(line.size()), line.data());
}

}  // namespace

LogLimiter::LogLimiter(Clock::duration interval, Sink sink)
    : interval_(interval), sink_(sink ? std::move(sink) : Sink(logToNetSnmp)) {
  handler_ = netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_DEBUG);
  if (!handler_) return;
  netsnmp_disable_this_loghandler(handler_);
  handler_->handler = &LogLimiter::divert;
  handler_->magic = this;
}

LogLimiter::~LogLimiter() {
  if (handler_) netsnmp_remove_loghandler(handler_);  // disabled: no gate outlives its limiter
}

LogLimiter::Kind& LogLimiter::kindOf(std::string_view line) {
  std::string key = kindKey(line);
  auto kind =
      std::find_if(kinds_.begin(), kinds_.end(), [&](const Kind& k) { return k.key == key; });
  if (kind != kinds_.end()) return *kind;
  if (kinds_.size() >= maxKinds - 1) key = otherKind;
  kind = std::find_if(kinds_.begin(), kinds_.end(), [&](const Kind& k) { return k.key == key; });
  if (kind != kinds_.end()) return *kind;
  Kind& added = kinds_.emplace_back();
  added.key = std::move(key);
  return added;
}

void LogLimiter::record(int priority, std::string_view line, Clock::time_point now) {
  Kind& kind = kindOf(line);
  ++kind.lines;
  if (kind.lines > 1 && now - kind.logged < interval_) {
    ++kind.heldBack;
    ++kind.heldSinceLogged;
    return;
  }
  kind.logged = now;
  if (!kind.heldSinceLogged) {
    emit(priority, line);
    return;
  }
  std::string_view text = line;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  emit(priority, fmt::format("{} ({} more like this held back)\n", text, kind.heldSinceLogged));
  kind.heldSinceLogged = 0;
}

void LogLimiter::emit(int priority, std::string_view line) {
  if (diverted_.empty()) {
    sink_(priority, line);
    return;
  }
  forward(priority, std::string(line).c_str());
}

void LogLimiter::logCounters() const {
  for (const Kind& kind : kinds_) {
    snmp_log(LOG_INFO, "limited log lines \"%s\": %llu, %llu held back\n", kind.key.c_str(),
             kind.lines, kind.heldBack);
  }
}

int LogLimiter::divert(netsnmp_log_handler* handler, int priority, const char* line) {
  auto& limiter = *static_cast<LogLimiter*>(handler->magic);
  if (priority > LOG_WARNING) {
    limiter.forward(priority, line);
  } else {
    limiter.record(priority, line);
  }
  return 1;
}

void LogLimiter::forward(int priority, const char* line) const {
  for (netsnmp_log_handler* handler : diverted_) {
    if (priority <= handler->priority && priority >= handler->pri_max) {
      handler->handler(handler, priority, line);
    }
  }
}

void LogLimiter::openGate() {
  for (netsnmp_log_handler* handler = get_logh_head(); handler; handler = handler->next) {
    if (handler == handler_ || !handler->enabled) continue;
    diverted_.push_back(handler);
    netsnmp_disable_this_loghandler(handler);
  }
  if (!diverted_.empty()) netsnmp_enable_this_loghandler(handler_);
}

void LogLimiter::closeGate() {
  if (diverted_.empty()) return;
  netsnmp_disable_this_loghandler(handler_);
  for (netsnmp_log_handler* handler : diverted_) netsnmp_enable_this_loghandler(handler);
  diverted_.clear();
}

LogLimiter::Gate::Gate(LogLimiter& limiter) : limiter_(limiter) {
  if (limiter_.handler_) limiter_.openGate();
}

LogLimiter::Gate::~Gate() { limiter_.closeGate(); }

}  // namespace Host
