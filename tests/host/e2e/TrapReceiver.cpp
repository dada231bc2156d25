// tests/host/e2e/TrapReceiver.cpp — snmptrapd's start and its log read back as notifications.
#include "TrapReceiver.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "Daemon.h"
#include "Process.h"

namespace E2e {
namespace {

constexpr const char* snmptrapd = "/usr/sbin/snmptrapd";
constexpr const char* header = "notification ";
constexpr const char* footer = "end";
// A header line with snmptrapd's description, the variables one per line, a footer line.
constexpr const char* format = "notification %P\\n%V\\n%v\\nend\\n";

}  // namespace

bool TrapReceiver::start(const std::vector<std::string>& lines) {
  port_ = freeUdpPort();
  const std::string config = dir_.file("snmptrapd.conf");
  std::ofstream out(config);
  for (const std::string& line : lines) out << line << '\n';
  out.close();
  server_.spawn({snmptrapd, "-f", "-C", "-c", config, "-Lo", "-On", "-F", format,
                 "--pidFile=" + dir_.file("snmptrapd.pid"), address()},
                environmentWith({"MIBS=", "MIBDIRS=" + dir_.file("no-mibs"),
                                 "SNMPCONFPATH=" + dir_.file("snmpconf"),
                                 "SNMP_PERSISTENT_DIR=" + dir_.file("persist")}),
                dir_.path());
  return server_.waitForLog("NET-SNMP version", 1, startDeadline);
}

std::vector<Notification> TrapReceiver::notifications() const {
  std::vector<Notification> out;
  std::istringstream in(server_.log());
  Notification* open = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(header, 0) == 0) {
      out.push_back({line.substr(std::char_traits<char>::length(header)), {}});
      open = &out.back();
    } else if (line == footer) {
      open = nullptr;
    } else if (open) {
      if (auto vb = parseVarBind(line)) open->vars.push_back(std::move(*vb));
    }
  }
  if (open) out.pop_back();  // still being written
  return out;
}

bool TrapReceiver::waitFor(int count, Deadline deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (notifications().size() < std::size_t(count)) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace E2e
