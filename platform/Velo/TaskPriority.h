// Velo/TaskPriority.h — the urgency of a cooperative task.
///
/// A higher value is more urgent: the scheduler always runs a task of the highest priority
/// that is scheduled. Tasks of equal priority run first come, first served (round robin when
/// they reschedule themselves).
#pragma once

#include "Pondo/Types.h"

namespace Velo {

using TaskPriority = U8;

}  // namespace Velo
