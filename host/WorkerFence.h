// Waits until the logger's worker has handled every line pushed into its pipe before the wait:
// how loghost's dump shows every line read, and EmbeddedLogger::dump() every line written.
//
// The worker takes the waiting lines in bursts and is done with a burst before it takes the next,
// so a pipe seen empty only says that the lines were taken. Two empty lines tell more: once the
// first is taken every earlier line is in the worker's hands, and once the second, pushed after
// that, is taken too, the worker has finished the burst that held the first. The logger drops
// them as short lines and counts them (tooShort): kLines per wait, which a host leaves out of the
// counts it reports. Any thread, several at once; the wait lasts while the worker waits on its
// medium.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "logger/core/safe_pipe.h"
#include "logger/host/HostApi.h"

class HOST_API WorkerFence final {
 public:
  static constexpr unsigned kLines = 2;
  // Told every millisecond of the wait how many lines wait in the pipe.
  using Waiting = std::function<void(std::size_t queued)>;

  WorkerFence() = delete;

  static void wait(safe_pipe<std::string>& pipe, const Waiting& waiting = Waiting());
};
