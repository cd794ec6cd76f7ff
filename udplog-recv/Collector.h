// The collector's receive loop and its summary, the last two phases of udplog-recv's main(): it
// takes the datagrams from the source, puts each sender's lines back together, hands them to the
// output and the forwarder in use, answers the status and reopen requests, writes the metrics,
// and at the end hands over what is held and says what was received and what went missing.
// main() sets the parts up and keeps them; the collector uses them on main's thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "logger/core/ReportLimiter.h"
#include "platform/StopSignals.h"
#include "udplog-recv/Delivery.h"
#include "udplog-recv/LineOutput.h"
#include "udplog-recv/ReceiverMetrics.h"
#include "udplog-recv/ReceiverOptions.h"
#include "udplog-recv/forward/RelpForwarder.h"
#include "udplog-recv/forward/TcpForwarder.h"
#include "udplog-recv/reassembly/DatagramSource.h"
#include "udplog-recv/reassembly/ReadPause.h"
#include "udplog-recv/reassembly/SenderFilter.h"
#include "udplog-recv/reassembly/SenderStreams.h"

class Collector final {
 public:
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  // What main() set up: out is null when the lines are only forwarded; forwarder and relp are
  // null but for the one that --forward names.
  struct Parts {
    DatagramSource& source;
    LineOutput* out;
    TcpForwarder* forwarder;
    RelpForwarder* relp;
    ReportLimiter& reports;
  };

  Collector(const ReceiverOptions& options, Parts parts);

  // Receives until a stop signal, --count lines, --idle without a datagram, a failed output or a
  // target that refused us.
  void run();
  // Ends the streams and the forwarding, writes the last metrics and prints the summary; returns
  // the exit status.
  int finish();

 private:
  using Clock = LineAssembler::Clock;

  bool full() const;
  bool done() const;
  timespec untilWake(Clock::time_point now, bool pausing) const;
  void receiveRound(Clock::time_point now);
  void take(const DatagramSource::View& view, Clock::time_point now);
  void countKernelDrops(const char* when);
  void tend(Clock::time_point now, short forwarderEvents);
  void serve(const StopSignals::Requests& requests);
  ReceiverMetrics::Inputs metricsInputs() const;
  std::string counts() const;
  void summarise(std::uint64_t unsent) const;
  int status(bool written, std::uint64_t unsent) const;

  // Constant after construction
  const ReceiverOptions& options;
  const Parts parts;
  const std::chrono::milliseconds idle;
  const std::chrono::milliseconds checkEvery;  // for time-outs, on a clock of their own
  const std::chrono::milliseconds metricsEvery;

  // The loop's own
  Delivery delivery;
  SenderStreams streams;
  SenderFilter filter;
  std::unique_ptr<ReceiverMetrics> metrics;
  ReadPause pause;
  std::string refusedFrom;  // the sender of the latest refused datagram
  std::string refused;      // why a RELP target can never take our lines; "" while it can
  Clock::time_point nextCheck;
  Clock::time_point nextMetrics;
  Clock::time_point lastDatagram;
  Clock::time_point resume;  // the socket is left alone until then (ReadPause)
  bool heard = false;
  std::uint64_t malformed = 0;
  std::uint64_t datagrams = 0;
  std::uint32_t kernelDrops = 0;
};
