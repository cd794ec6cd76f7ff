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
  void add(std::uint64_t burstTaken, std::uint64_t burstTooShort, std::uint64_t burstHanded,
           std::uint64_t lostNow) {
    taken.store(taken.load(std::memory_order_relaxed) + burstTaken, std::memory_order_relaxed);
    tooShort.store(tooShort.load(std::memory_order_relaxed) + burstTooShort,
                   std::memory_order_relaxed);
    handed.store(handed.load(std::memory_order_relaxed) + burstHanded, std::memory_order_relaxed);
    lost.store(lostNow, std::memory_order_release);
  }
  void setLastError(const std::string& error) EXCLUDES(mutex) {
    MutexLock lock(mutex);
    lastError = error;
  }

  Snapshot snapshot() const EXCLUDES(mutex) {
    Snapshot s;
    s.lost = lost.load(std::memory_order_acquire);
    s.taken = taken.load(std::memory_order_relaxed);
    s.tooShort = tooShort.load(std::memory_order_relaxed);
    const std::uint64_t handedSoFar = handed.load(std::memory_order_relaxed);
    s.stored = handedSoFar > s.lost ? handedSoFar - s.lost : 0;
    MutexLock lock(mutex);
    s.lastError = lastError;
    return s;
  }

 private:
  // Written by the worker thread only
  std::atomic<std::uint64_t> taken{0};
  std::atomic<std::uint64_t> tooShort{0};
  std::atomic<std::uint64_t> handed{0};
  std::atomic<std::uint64_t> lost{0};

  // Guarded by mutex
  mutable Mutex mutex;
  std::string lastError GUARDED_BY(mutex);
};
