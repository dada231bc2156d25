// tests/soak/FlapLog.h — the interface flaps of the daemon's simulator, read back from its log.
///
/// Started with `--trace Simulator/1`, the daemon logs each step of a flap as it publishes it:
/// `Simulator/1 Simulator::takeAway: Ethernet1/1 down, ifIndex 1001 withdrawn`, then at the next
/// flap `Simulator/1 Simulator::bringBack: Ethernet1/1 up, new ifIndex 42001`. A position in the
/// log is the number of such steps before it; the table follows each step a moment after its
/// line (the plug-in's machine runs as a task).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace Soak {

/// The marker of the simulator's flap lines.
inline constexpr const char* flapMarker = "Simulator/1 Simulator::";

struct FlapStep {
  bool up;  // the interface came back with `ifIndex`; else `ifIndex` went
  std::uint64_t ifIndex;
};

/// Every complete flap line of `log` (a line still being written is left out), in order.
std::vector<FlapStep> flapSteps(const std::string& log);

/// The ifIndexes of the simulated switch of `interfaces` interfaces after the first `position`
/// steps.
std::set<std::uint64_t> ifIndexesAt(std::uint32_t interfaces, const std::vector<FlapStep>& steps,
                                    std::size_t position);

/// The ifIndexes that steps [from, to) withdrew or gave.
std::set<std::uint64_t> ifIndexesNamed(const std::vector<FlapStep>& steps, std::size_t from,
                                       std::size_t to);

}  // namespace Soak
