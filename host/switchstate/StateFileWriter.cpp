// host/switchstate/StateFileWriter.cpp — the JSON of a state file, written from the schema's
// tables.
#include "StateFileWriter.h"

#include <cassert>
#include <charconv>
#include <cstdio>
#include <utility>

#include "StateFields.h"

namespace Host {

StateFileWriter::StateFileWriter() { start(); }

void StateFileWriter::interface(std::string_view name, U32 ifIndex) {
  assert(at_ == At::interfaces && "interfaces come before every status entity");
  key(name);
  number(ifIndex);
}

void StateFileWriter::entity(std::string_view name) {
  closeSection();
  key(name);
  out_ += '{';
  at_ = At::entity;
}

void StateFileWriter::entry(std::string_view intfName,
                            const Bridging::StormControl::Classes& classes) {
  assert(at_ == At::entity && "an entry belongs to a status entity");
  key(intfName);
  out_ += '{';
  for (std::size_t c = 0; c < classes.byClass.size(); ++c) {
    key(Bridging::StormControl::trafficClassNames[c]);
    out_ += '{';
    for (const StateFields::Field& field : StateFields::classFields) {
      key(field.name);
      number(field.get(classes.byClass[c]));
    }
    out_ += '}';
  }
  out_ += '}';
}

std::string StateFileWriter::finish() {
  closeSection();
  out_ += "}}";
  std::string text = std::move(out_);
  start();
  return text;
}

void StateFileWriter::start() {
  out_ = "{";
  key(StateFields::interfaces);
  out_ += '{';
  at_ = At::interfaces;
}

void StateFileWriter::closeSection() {
  out_ += '}';
  if (at_ != At::interfaces) return;
  key(StateFields::status);
  out_ += '{';
  at_ = At::status;
}

std::string stateFileJson(const StateFile& file) {
  StateFileWriter writer;
  for (const StateFile::Interface& intf : file.interfaces()) {
    writer.interface(intf.name, intf.ifIndex);
  }
  for (const StateFile::Entity& entity : file.entities()) {
    writer.entity(entity.name);
    for (const StateFile::Entry& entry : file.entries(entity)) {
      writer.entry(entry.intfName, entry.classes);
    }
  }
  return writer.finish();
}

void StateFileWriter::key(std::string_view key) {
  if (out_.back() != '{') out_ += ',';
  out_ += '"';
  for (const char c : key) {
    if (c == '"' || c == '\\') out_ += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) {
      out_ += c;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
    out_ += escaped;
  }
  out_ += "\":";
}

void StateFileWriter::number(U64 value) {
  char digits[20];
  out_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace Host
