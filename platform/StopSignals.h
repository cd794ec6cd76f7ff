// The requests that reach a program from outside: signals on POSIX systems; Ctrl+C, Ctrl+Break
// and closing the console on Windows (reported as SIGINT, SIGINT and SIGTERM). install() runs
// once, on the main thread, before other threads start; the rest may be used from any thread.
// Its one failure, a signal pipe that cannot be made in install(), is a std::runtime_error: the
// program cannot run without it.
#pragma once

#include <cstdint>

class StopSignals final {
 public:
  StopSignals() = delete;

  // What SIGHUP means to the program: the terminal went away (stop), or reopen the output.
  enum class Hangup { kStop, kReopen };

  // The requests other than stopping that came since the last takeRequests().
  struct Requests {
    unsigned status = 0;  // SIGUSR1
    unsigned reopen = 0;  // SIGHUP, when installed with Hangup::kReopen
  };

  // On POSIX systems SIGINT, SIGTERM, SIGHUP and every other signal that a user may send and
  // whose default would end the process (SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,
  // SIGIO, SIGPWR, SIGSTKFLT, SIGPIPE from another process, the real-time ones; not SIGQUIT,
  // SIGKILL or the faults) ask the program to stop; SIGUSR1 asks for a status line; SIGHUP asks to
  // reopen output files instead of stopping when hangup is kReopen. The first stop request asks
  // the program to stop reading input and end as at the end of input; a second one ends the
  // process at once with status 128 + its number, unless it is a SIGHUP (which the system may
  // send more than once when a terminal goes away). Writing to a closed pipe fails with an error
  // instead of ending the process: the SIGPIPE that the write itself raises is ignored.
  static void install(Hangup hangup = Hangup::kStop);
  // The number of the first stopping signal, 0 while none came.
  static int received();
  // What becomes ready when a stopping signal comes, for InputSource to wait on beside its input:
  // a descriptor to poll, or an event handle to wait for.
  static std::intptr_t wakeHandle();
  // A descriptor that becomes readable when a status or reopen request comes, until
  // takeRequests(); -1 where the system has no such requests. For one reader.
  static std::intptr_t requestHandle();
  static Requests takeRequests();
  // Waits up to timeoutMs for a status or reopen request; false when none came in that time (also
  // where the system has no such requests, so that a waiting loop does not spin).
  static bool waitForRequest(int timeoutMs);
};
