// Answers status requests (SIGUSR1) while loghost runs: one line on standard error per request,
//   loghost: status: 1048576 lines read, 734002 queued, 314574 stored, 0 lost
// with the lines read so far, the lines waiting in the pipe, and the logger's own counts, asked
// for over the bus on a reply topic of its own.
//
// Owns one thread, started by the constructor and joined by the destructor; the main thread
// counts the lines read with addRead(). Where the system has no status requests the thread only
// waits for the end.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <string>
#include <thread>

#include "logger/core/safe_pipe.h"

class StatusLine final {
 public:
  explicit StatusLine(boost::shared_ptr<safe_pipe<std::string>> pipe);
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;
  ~StatusLine();

  void addRead(unsigned long long lines) { read_.store(lines, std::memory_order_relaxed); }

 private:
  void run();

  // Constant after construction
  const boost::shared_ptr<safe_pipe<std::string>> pipe_;

  std::atomic<unsigned long long> read_{0};
  std::atomic<bool> ending_{false};
  std::thread thread_;
};
