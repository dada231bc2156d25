// Pondo/ThreadControl.h — the process-wide switch that makes reference counts atomic.
///
/// The platform runs on one thread. Only while `tsp_` is set (another thread may touch shared
/// objects) are use counts changed with atomic operations; otherwise they are plain increments.
#pragma once

namespace Pondo {

struct ThreadControl {
  static inline bool tsp_ = false;
};

}  // namespace Pondo
