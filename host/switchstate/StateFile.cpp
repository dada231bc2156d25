// host/switchstate/StateFile.cpp — a read state file: its lookups and the checks of its names.
#include "StateFile.h"

#include <algorithm>
#include <functional>

#include "StateFileLoader.h"

namespace Host {

std::unique_ptr<StateFile> StateFile::load(const std::string& path, std::string& error) {
  StateFileLoader loader(path);
  loader.readSome({});
  std::unique_ptr<StateFile> file = loader.take();
  if (!file) error = loader.error();
  return file;
}

std::unique_ptr<StateFile> StateFile::parse(const std::string& path, std::string_view text,
                                            std::string& error) {
  StateFileLoader loader(path, text);
  loader.readSome({});
  std::unique_ptr<StateFile> file = loader.take();
  if (!file) error = loader.error();
  return file;
}

std::optional<U32> StateFile::ifIndex(std::string_view intfName) const {
  const U32 p = interfaceByName_.find(nameHash(intfName),
                                      [&](U32 p) { return interfaces_[p].name == intfName; });
  if (p == PositionIndex::none) return std::nullopt;
  return interfaces_[p].ifIndex;
}

const StateFile::Entity* StateFile::entity(std::string_view name) const {
  const U32 p =
      entityByName_.find(nameHash(name), [&](U32 p) { return entities_[p].name == name; });
  return p == PositionIndex::none ? nullptr : &entities_[p];
}

const StateFile::Entry* StateFile::entry(const Entity& entity, std::string_view intfName) const {
  const U32 e = U32(&entity - entities_.data());
  const U32 p = entryByName_.find(entryHash(e, intfName), [&](U32 p) {
    return entries_[p].entity == e && entries_[p].intfName == intfName;
  });
  return p == PositionIndex::none ? nullptr : &entries_[p];
}

bool StateFile::validIntfName(std::string_view name) noexcept {
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

bool StateFile::validEntityName(std::string_view name) noexcept {
  return !name.empty() && name.find('/') == std::string_view::npos;
}

U32 StateFile::nameHash(std::string_view name) {
  const std::size_t h = std::hash<std::string_view>()(name);
  return U32(h ^ (h >> 32));
}

U32 StateFile::entryHash(U32 entity, std::string_view intfName) {
  return nameHash(intfName) ^ (entity * 0x9e3779b9u);
}

}  // namespace Host
