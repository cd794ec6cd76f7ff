// loghost's progress display on standard error, twice a second, and only when standard error is a
// terminal (nothing reaches a pipe or a file). Used from loghost's main thread only.
#pragma once

#include <chrono>
#include <cstddef>

class Progress final {
 public:
  Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Called after each line pushed; prints at most twice a second, e.g.
  //   loghost: 1048576 lines pushed, 2311045 lines/s
  void tick(unsigned long long lines);
  // Called while the worker catches up after the input ended; prints at most twice a second, e.g.
  //   loghost: 1048576 lines pushed, draining 734002 lines
  void draining(unsigned long long lines, std::size_t queued);
  // Called while reading waits for the worker to take queued lines; prints at most twice a second,
  //   loghost: 1048576 lines pushed, waiting on the medium (32768 KiB queued)
  void waiting(unsigned long long lines, unsigned long long queuedBytes);
  // Ends the display with a line end, if anything was shown.
  void done(unsigned long long lines);

 private:
  using Clock = std::chrono::steady_clock;
  void print(unsigned long long lines, Clock::time_point now);

  // Constant after construction
  const bool enabled;
  const Clock::time_point start;

  Clock::time_point last;
  bool drained = false;  // the last line shown was a draining line
};
