// host/switchstate/StateFileWriter.h — writes a state file, every field of every class spelt out.
///
/// The writer is driven by the same schema as the reader (`StateFields.h` and the status
/// model's class names), so what it writes reads back as the same state, and equal states give
/// equal texts. Calls come in the file's order: every interface, then each status entity
/// followed by its entries. Keys are escaped as JSON needs; the text is compact.
#pragma once

#include <string>
#include <string_view>

#include "Bridging/IntfStatus.h"
#include "StateFile.h"

namespace Host {

class StateFileWriter {
 public:
  StateFileWriter();

  /// An interface and its ifIndex; only before the first entity.
  void interface(std::string_view name, U32 ifIndex);
  /// Starts the status entity `name`: the entries that follow are its own.
  void entity(std::string_view name);
  /// The status of interface `intfName` in the current entity.
  void entry(std::string_view intfName, const Bridging::StormControl::Classes& classes);
  /// The whole text; the writer is left empty.
  std::string finish();

 private:
  enum class At : U8 { interfaces, status, entity };

  void start();
  /// Closes the interfaces, opening the status entities, or closes the current entity.
  void closeSection();
  /// Appends `key` as an object's key, after a comma unless it is the object's first.
  void key(std::string_view key);
  void number(U64 value);

  std::string out_;
  At at_ = At::interfaces;
};

/// The text of `file`, which reads back as the same state.
std::string stateFileJson(const StateFile& file);

}  // namespace Host
