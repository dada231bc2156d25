// tests/soak/FlapLog.cpp — parsing the simulator's flap lines.
#include "FlapLog.h"

#include <stdexcept>

namespace Soak {

namespace {

constexpr std::uint32_t portsPerModule = 48;

/// The simulator's own numbering: interface i is Ethernet<m>/<p>, ifIndex m * 1000 + p.
std::uint64_t initialIfIndex(std::uint32_t ordinal) {
  return (ordinal / portsPerModule + 1) * 1000 + ordinal % portsPerModule + 1;
}

FlapStep parseStep(const std::string& line) {
  const bool up = line.find(" up, new ifIndex ") != std::string::npos;
  if (!up && line.find(" down, ifIndex ") == std::string::npos) {
    throw std::runtime_error("not a flap line: " + line);
  }
  const auto number = line.find_first_of("0123456789", line.find(" ifIndex ") + 9);
  return {up, std::stoull(line.substr(number))};
}

}  // namespace

std::vector<FlapStep> flapSteps(const std::string& log) {
  std::vector<FlapStep> steps;
  for (std::size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = log.substr(start, end - start);
    if (line.find(flapMarker) != std::string::npos) steps.push_back(parseStep(line));
  }
  return steps;
}

std::set<std::uint64_t> ifIndexesAt(std::uint32_t interfaces, const std::vector<FlapStep>& steps,
                                    std::size_t position) {
  std::set<std::uint64_t> ifIndexes;
  for (std::uint32_t i = 0; i < interfaces; ++i) ifIndexes.insert(initialIfIndex(i));
  for (std::size_t s = 0; s < position && s < steps.size(); ++s) {
    if (steps[s].up) {
      ifIndexes.insert(steps[s].ifIndex);
    } else {
      ifIndexes.erase(steps[s].ifIndex);
    }
  }
  return ifIndexes;
}

std::set<std::uint64_t> ifIndexesNamed(const std::vector<FlapStep>& steps, std::size_t from,
                                       std::size_t to) {
  std::set<std::uint64_t> ifIndexes;
  for (std::size_t s = from; s < to && s < steps.size(); ++s) ifIndexes.insert(steps[s].ifIndex);
  return ifIndexes;
}

}  // namespace Soak
