// What loghost tells about its run while it runs: a status line on standard error per request
// (SIGUSR1) and, with --metrics-file, the same figures in the Prometheus text format. Owns one
// thread, started by the constructor and joined by finish() or the destructor; the main thread
// reports the lines read and the bytes they hold in the pipe with setRead().
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "logger/core/safe_pipe.h"

class MetricsFile;
class TarvoLoggerStatsData;

class RunStatus final {
 public:
  // metricsPath empty: no metrics file. The thread prints, per status request,
  //   loghost: status: 1048576 lines read, 734002 queued, 314574 stored, 0 lost
  // and writes the metrics file every metricsInterval. The logger's own counts are asked for over
  // the bus, on a reply topic of its own.
  RunStatus(boost::shared_ptr<safe_pipe<std::string>> pipe, const std::string& metricsPath,
            std::chrono::milliseconds metricsInterval);
  RunStatus(const RunStatus&) = delete;
  RunStatus& operator=(const RunStatus&) = delete;
  ~RunStatus();

  void setRead(unsigned long long lines, unsigned long long theQueuedBytes) {
    read.store(lines, std::memory_order_relaxed);
    queuedBytes.store(theQueuedBytes, std::memory_order_relaxed);
  }
  // Lines stored without fields (no vertical tab) and lines whose fields past the sixth were cut.
  void setShapes(unsigned long long theUnsplit, unsigned long long theCut) {
    unsplit.store(theUnsplit, std::memory_order_relaxed);
    cut.store(theCut, std::memory_order_relaxed);
  }
  // Called before loghost pushes a short line of its own (to wait for the worker), so that the
  // short lines counted are the inputs' and the components' alone.
  void pushingOwnShortLine() { ownShort.fetch_add(1, std::memory_order_relaxed); }
  // The lines of 20 bytes or fewer that the logger dropped, loghost's own left out, from counts
  // the logger gave before this call: never more than the true count, exact once the logger has
  // stopped.
  unsigned long long shortLines(const TarvoLoggerStatsData& stats) const;
  // Ends the thread and writes the metrics file once more with the logger's final counts (stats
  // null: it did not answer). Returns false, the cause printed, when the file could not be written.
  bool finish(const TarvoLoggerStatsData* stats);

 private:
  void run();
  // Writes the metrics file; false when that failed, with one line on standard error for the last
  // write or a cause not seen before.
  bool writeMetrics(const TarvoLoggerStatsData* stats, bool last);

  // Constant after construction
  const boost::shared_ptr<safe_pipe<std::string>> pipe;
  const std::unique_ptr<MetricsFile> metrics;
  const std::chrono::milliseconds interval;

  std::atomic<unsigned long long> read{0};
  std::atomic<unsigned long long> queuedBytes{0};
  std::atomic<unsigned long long> unsplit{0};
  std::atomic<unsigned long long> cut{0};
  std::atomic<unsigned long long> ownShort{0};
  std::atomic<bool> ending{false};
  unsigned long long shortWritten = 0;  // the thread's, then finish()'s: the counter never falls
  std::thread thread;
};
