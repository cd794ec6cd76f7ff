// Reports errors that the worker thread contains, one line each on standard error: an error is
// printed the first time and its repeats are counted, each kind on its own (ReportLimiter).
// Used by the worker thread only.
#pragma once

#include <cstdio>
#include <string>

#include "logger/core/ReportLimiter.h"

class WorkerErrorReporter final {
 public:
  // Begins every line the logger writes to standard error.
  static constexpr const char* kPrefix = "TarvoLogger: ";

  // out takes the lines; now is the clock of the 10 s interval (tests pass one of their own).
  explicit WorkerErrorReporter(std::FILE* out = stderr,
                               ReportLimiter::Now now = &ReportLimiter::Clock::now);
  WorkerErrorReporter(const WorkerErrorReporter&) = delete;
  WorkerErrorReporter& operator=(const WorkerErrorReporter&) = delete;

  // operation names what failed ("write", "flush", "pop"); error is the exception's text. A kind is
  // the message without its numbers, so two errors that alternate do not print each other again.
  // The count so far is printed at every power of ten and every 10 s while an error goes on; the
  // count in all when an error of a new kind comes and at finish():
  //   TarvoLogger: write failed: disk full
  //   TarvoLogger: write failed: disk full (10 times so far)
  //   TarvoLogger: write failed: disk full (repeated 12 times in all)
  void report(const char* operation, const std::string& error);
  // Prints the counts of repeats not printed yet.
  void finish();

 private:
  void print(const ReportLimiter::Line& line);

  // Constant after construction
  std::FILE* const out;

  ReportLimiter limiter;
};
