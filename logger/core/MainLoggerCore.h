// The heart of the logger: one pipe, one storage medium and one worker thread between them.
//
// The core holds medium and worker alone and shares the pipe with every client that asked for it.
// The owning component's thread constructs and destroys it; getQueue() and getRawData() are called
// from the bus's delivery thread while the core exists.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "logger/core/IStorageMedia.h"
#include "logger/core/WorkerCounters.h"
#include "logger/core/WorkerErrorReporter.h"
#include "logger/core/safe_pipe.h"

class MainLoggerCore {
 public:
  // Lines this long or shorter never reach the medium.
  static constexpr std::size_t kShortLine = 20;
  // After a burst of fewer lines than this the worker sleeps this long before it takes the next.
  static constexpr std::size_t kLingerBelow = 256;
  static constexpr long kLingerMicroseconds = 100;

  // Picks the medium from "TarvoLogger/StorageFormat" ("udp", "file", "console", anything else the
  // in-memory ring), creates the pipe and starts the worker, which takes lines in pipe order and
  // hands every line longer than kShortLine to the medium unchanged; shorter lines are dropped. An
  // exception from the medium or the pipe is reported on standard error and the worker goes on. A
  // medium with a flush bound (the files with "TarvoLogger/FlushSeconds") is also told when the
  // bound has passed, while no line comes; otherwise it is flushed only when the worker ends.
  // Throws what the medium's construction throws, leaving no thread behind.
  MainLoggerCore();
  MainLoggerCore(const MainLoggerCore&) = delete;
  MainLoggerCore& operator=(const MainLoggerCore&) = delete;
  // Pushes the stop line behind everything queued, waits until the worker has stored it all and
  // flushed the medium, then releases worker, medium and pipe. Only the core's own stop ends the
  // worker: a client line with the same text is dropped like any short line.
  ~MainLoggerCore();

  // A new shared reference to the pipe that clients push into.
  boost::shared_ptr<safe_pipe<std::string>> getQueue();
  // The medium's raw data at this moment.
  std::string getRawData();
  // The worker's counts, shared: they stay readable after the core is gone, then final.
  boost::shared_ptr<const WorkerCounters> getCounters() const;

 private:
  friend class MainLoggerCoreTestPeer;  // builds a core around a medium made by a test
  explicit MainLoggerCore(boost::shared_ptr<IStorageMedia> medium);

  static boost::shared_ptr<IStorageMedia> createMedium();
  void run();
  static void lingerForLines();
  // Worker thread: the next burst of lines (false when the pipe failed, which is reported). It
  // waits no later than deadline, when that is not time_point::max(): an empty burst then.
  bool takeBurst(std::deque<std::string>& burst, IStorageMedia::Clock::time_point deadline);
  // Worker thread: the medium's flush bound; zero when asking throws (reported).
  std::chrono::seconds askFlushBound() noexcept;
  // Worker thread: has the medium write out what has waited past bound, and returns when to ask
  // again. A failure is reported and asked about again a bound later.
  IStorageMedia::Clock::time_point flushWhatIsDue(std::chrono::seconds bound);
  // Worker thread: hands the burst's lines longer than kShortLine to the medium at once (each
  // failure is reported) and counts the burst; returns how many lines were the stop text. handed
  // is storage reused from burst to burst.
  std::uint64_t storeBurst(const std::deque<std::string>& burst, const std::string& stop,
                           std::vector<const std::string*>& handed);
  // Worker thread: adds a burst's counts and the medium's losses so far to counters.
  void publish(std::uint64_t taken, std::uint64_t tooShort, std::uint64_t handed);
  // Worker thread: prints the error (errors) and keeps it as the last one (counters); never throws.
  void reportError(const char* operation, const std::string& error) noexcept;
  void stop();
  std::string stopLine() const;

  // Constant from construction to destruction
  boost::shared_ptr<safe_pipe<std::string>> pipe;
  boost::shared_ptr<IStorageMedia> medium;
  boost::shared_ptr<boost::thread> worker;
  boost::shared_ptr<WorkerCounters> counters;  // shared with whoever asks; the worker writes it

  // Raised by stop() between its two stop lines: a stop text taken while it is down is a client's.
  std::atomic<bool> stopping{false};
  // Worker thread only
  WorkerErrorReporter errors;
};
