// host/switchstate/StateFileRefusal.h — why a state file is refused, thrown while it is read.
#pragma once

#include <string>

namespace Host {

/// The complete message: the file's path, then the place and the reason, quoting names and keys
/// as they were read (made one line only when it is reported).
struct StateFileRefusal {
  std::string message;
};

}  // namespace Host
