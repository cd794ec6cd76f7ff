// What a core's worker has done so far: lines taken from the pipe, lines dropped for being short,
// lines handed to the medium, lines the medium lost, and the last error the worker reported.
//
// The core creates it and shares it with whoever asks (the component answers status requests from
// it, also after the core is gone: it then holds the final counts). The worker thread alone writes
// it, once per burst of lines and at the end; any thread may take a snapshot.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "logger/core/ThreadAnnotations.h"

class WorkerCounters final {
 public:
  struct Snapshot {
    std::uint64_t taken = 0;     // lines taken from the pipe (the core's own stop lines aside)
    std::uint64_t tooShort = 0;  // lines of 20 bytes or fewer, which are never stored
    std::uint64_t stored = 0;    // lines handed to the medium and not lost
    std::uint64_t lost = 0;      // lines the medium dropped, failed to send or could not write
    std::string lastError;       // the last error the worker reported, or ""
  };

  WorkerCounters() = default;
  WorkerCounters(const WorkerCounters&) = delete;
  WorkerCounters& operator=(const WorkerCounters&) = delete;

  // Worker thread: adds one burst's lines and sets the medium's loss count as it now stands.
  void add(std::uint64_t taken, std::uint64_t tooShort, std::uint64_t handed, std::uint64_t lost) {
    taken_.store(taken_.load(std::memory_order_relaxed) + taken, std::memory_order_relaxed);
    tooShort_.store(tooShort_.load(std::memory_order_relaxed) + tooShort,
                    std::memory_order_relaxed);
    handed_.store(handed_.load(std::memory_order_relaxed) + handed, std::memory_order_relaxed);
    lost_.store(lost, std::memory_order_release);
  }
  void setLastError(const std::string& error) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    lastError_ = error;
  }

  Snapshot snapshot() const EXCLUDES(mutex_) {
    Snapshot s;
    s.lost = lost_.load(std::memory_order_acquire);
    s.taken = taken_.load(std::memory_order_relaxed);
    s.tooShort = tooShort_.load(std::memory_order_relaxed);
    const std::uint64_t handed = handed_.load(std::memory_order_relaxed);
    s.stored = handed > s.lost ? handed - s.lost : 0;
    MutexLock lock(mutex_);
    s.lastError = lastError_;
    return s;
  }

 private:
  // Written by the worker thread only
  std::atomic<std::uint64_t> taken_{0};
  std::atomic<std::uint64_t> tooShort_{0};
  std::atomic<std::uint64_t> handed_{0};
  std::atomic<std::uint64_t> lost_{0};

  // Guarded by mutex_
  mutable Mutex mutex_;
  std::string lastError_ GUARDED_BY(mutex_);
};
