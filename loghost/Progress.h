// loghost's progress display: lines pushed and the rate, on standard error, twice a second, and
// only when standard error is a terminal (nothing reaches a pipe or a file).
//
// Used from loghost's main thread only.
#pragma once

#include <chrono>

class Progress final {
 public:
  Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Called after each line pushed; prints at most twice a second.
  void tick(unsigned long long lines);
  // Ends the display with a line end, if anything was shown.
  void done(unsigned long long lines);

 private:
  using Clock = std::chrono::steady_clock;
  void print(unsigned long long lines, Clock::time_point now);

  // Constant after construction
  const bool enabled_;
  const Clock::time_point start_;

  Clock::time_point last_;
};
