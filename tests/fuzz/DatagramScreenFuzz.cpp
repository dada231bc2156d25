// tests/fuzz/DatagramScreenFuzz.cpp — the screen that sees every received datagram first walks
// any bytes without reading outside them, and names a fault it knows.
#include <cstddef>
#include <cstdint>

#include "host/requests/DatagramScreen.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Host::DatagramFault fault = Host::screenDatagram({data, size});
  if (static_cast<std::size_t>(fault) >= Host::datagramFaultCount) __builtin_trap();
  return 0;
}
