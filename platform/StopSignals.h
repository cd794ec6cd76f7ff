// The requests that stop a program from outside: SIGINT and SIGTERM on POSIX systems; Ctrl+C,
// Ctrl+Break and closing the console on Windows (reported as SIGINT, SIGINT and SIGTERM).
//
// The first request asks the program to stop reading input and end as at the end of input; a
// second one ends the process at once with status 128 + its number. Writing to a closed pipe
// fails with an error instead of ending the process (SIGPIPE is ignored). install() runs once, on
// the main thread, before other threads start; the rest may be used from any thread.
#pragma once

#include <cstdint>

class StopSignals final {
 public:
  StopSignals() = delete;

  static void install();
  // The number of the first stopping signal, 0 while none came.
  static int received();
  // What becomes ready when a stopping signal comes, for InputSource to wait on beside its input:
  // a descriptor to poll, or an event handle to wait for.
  static std::intptr_t wakeHandle();
};
