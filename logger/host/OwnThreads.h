// The threads the logger runs for itself: the core's worker and the bus's delivery thread. A
// program's handlers at exit() and at std::terminate finish the logger, which joins those threads,
// so they must not do it from one of them. Each such thread marks itself when it starts.
#pragma once

#include "logger/host/HostApi.h"

namespace OwnThreads {
// Marks the calling thread as one of the logger's own, for its whole life.
HOST_API void markCurrent();
// Whether the calling thread marked itself.
HOST_API bool isCurrent();
}  // namespace OwnThreads
