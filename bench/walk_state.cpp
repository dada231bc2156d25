// bench/walk_state.cpp — writes the walk benchmark's state file: the table the baselines serve.
///
/// Usage: walk_state INTERFACES [CHANGED] > FILE. Interface k (1 to INTERFACES) is
/// "Ethernet1/k" with ifIndex k, its status published in entity "slice<k % 2>" with the values
/// of walk_agent.h, so the daemon serves the bytes the baseline agents do. CHANGED names an
/// interface whose "all" drop counter is one higher: the reload's one changed interface.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/switchstate/StateFileWriter.h"
#include "walk_agent.h"

namespace {

std::string intfName(U32 k) { return "Ethernet1/" + std::to_string(k); }

Bridging::StormControl::Classes classesOf(U32 k, bool changed) {
  Bridging::StormControl::Classes classes;
  for (U32 c = 0; c < WalkBench::classes; ++c) {
    const WalkBench::RowKey key{k, c};
    Bridging::StormControl::ClassStatus& status = classes.byClass[c];
    status.threshold.level = WalkBench::thresholdLevel(key);
    status.threshold.type = Bridging::StormControl::ThresholdType(WalkBench::thresholdUnits(key));
    status.drops = WalkBench::drops(key) + (changed && c == 0 ? 1 : 0);
  }
  return classes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: walk_state INTERFACES [CHANGED]\n", stderr);
    return 2;
  }
  const auto interfaces = U32(std::strtoul(argv[1], nullptr, 10));
  const auto changed = argc > 2 ? U32(std::strtoul(argv[2], nullptr, 10)) : 0;
  Host::StateFileWriter writer;
  for (U32 k = 1; k <= interfaces; ++k) writer.interface(intfName(k), k);
  for (U32 slice = 0; slice < 2; ++slice) {
    writer.entity("slice" + std::to_string(slice));
    for (U32 k = slice == 0 ? 2 : 1; k <= interfaces; k += 2) {
      writer.entry(intfName(k), classesOf(k, k == changed));
    }
  }
  const std::string text = writer.finish();
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
