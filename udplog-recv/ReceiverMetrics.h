// udplog-recv's counts in its metrics file (--metrics-file), for node_exporter's textfile
// collector: every count of the summary and what is held now, named udplog_recv_<what>_<unit>.
// Owned and called by the receiving thread only. A periodic write that fails is reported once per
// cause and the run goes on; the last write's failure is reported always, as it fails the run.
#pragma once

#include <cstdint>
#include <string>

#include "logger/core/ReportLimiter.h"
#include "platform/MetricsFile.h"

class RelpForwarder;
class SenderStreams;
class TcpForwarder;

class ReceiverMetrics final {
 public:
  // The counts kept outside the parts that the metrics read themselves.
  struct Inputs {
    std::uint64_t datagrams = 0, malformed = 0, refused = 0, written = 0;
    std::uint32_t kernelDrops = 0;
    std::uint64_t undelivered = 0;  // known at the end only: left for the target
    const SenderStreams* streams = nullptr;
    const TcpForwarder* forwarder = nullptr;
    const RelpForwarder* relp = nullptr;
  };

  explicit ReceiverMetrics(const std::string& path) : file(path) {}
  ReceiverMetrics(const ReceiverMetrics&) = delete;
  ReceiverMetrics& operator=(const ReceiverMetrics&) = delete;

  // Writes the file during the run; a failure goes to reports when its cause is new.
  void write(const Inputs& in, ReportLimiter& reports);
  // Writes the file at the end; the failure as one line to report, or empty when it was written.
  std::string writeLast(const Inputs& in);

 private:
  // Adds every metric and writes the file.
  std::error_code fill(const Inputs& in);
  void addForwarding(const Inputs& in);

  MetricsFile file;
};
