// A pause of some microseconds, for a thread that would rather let work gather than wait on a
// condition that its producers must then signal. Where the system's sleeps last a whole timer
// tick (Windows: 1 to 15.6 ms), a "brief" nap would hold every burst back that long, so there it
// does not sleep at all and says so. Any thread.
#pragma once

#include <chrono>

class BriefNap final {
 public:
  BriefNap() = delete;

  // Sleeps about length and returns true, or returns false at once where naps are not brief.
  static bool take(std::chrono::microseconds length);
};
