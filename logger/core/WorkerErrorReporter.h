// Reports errors that the worker thread contains, one line each on standard error.
//
// An error identical to the previous one is counted instead of printed again; the count is
// printed when a different error comes, at every power of ten, and at finish():
//   TarvoLogger: write failed: disk full
//   TarvoLogger: write failed: disk full (10 times so far)
//   TarvoLogger: write failed: disk full (repeated 12 times in all)
// Used by the worker thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class WorkerErrorReporter final {
 public:
  // Begins every line the logger writes to standard error.
  static constexpr const char* kPrefix = "TarvoLogger: ";

  explicit WorkerErrorReporter(std::FILE* out = stderr) : out_(out) {}
  WorkerErrorReporter(const WorkerErrorReporter&) = delete;
  WorkerErrorReporter& operator=(const WorkerErrorReporter&) = delete;

  // operation names what failed ("write", "flush", "pop"); error is the exception's text.
  void report(const char* operation, const std::string& error);
  // Prints the count of a repeated error not printed yet.
  void finish();

 private:
  std::FILE* out_;
  std::string last_;
  std::uint64_t times_ = 0;        // occurrences of last_
  std::uint64_t nextCountAt_ = 0;  // the next power of ten to print
};
