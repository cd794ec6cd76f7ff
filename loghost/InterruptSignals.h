// loghost's handling of the signals that end it.
//
// The first SIGINT or SIGTERM asks the program to stop reading input and shut down as at the end
// of input; a second one ends the process at once with status 128 + its number. SIGPIPE is
// ignored, so that writing to a closed standard output or error fails with EPIPE instead of
// ending the process before the logger has stored its lines. install() runs once, on the main
// thread, before other threads start; received() and wakeFd() may be used from any thread.
#pragma once

class InterruptSignals final {
 public:
  InterruptSignals() = delete;

  static void install();
  // The number of the first stopping signal, 0 while none came.
  static int received();
  // A descriptor that becomes readable when a stopping signal comes: poll it beside the input.
  static int wakeFd();
};
