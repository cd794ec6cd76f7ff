// Hands every line that SenderStreams delivers to the output and the forwarder in use, and
// counts them. The Collector owns it; SenderStreams calls it on the receiving thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "logger/core/ReportLimiter.h"
#include "udplog-recv/LineOutput.h"
#include "udplog-recv/forward/RelpForwarder.h"
#include "udplog-recv/forward/TcpForwarder.h"
#include "udplog-recv/reassembly/SenderStreams.h"

class Delivery final : public SenderStreams::Sink {
 public:
  // Null: not in use.
  Delivery(LineOutput* theOut, TcpForwarder* theForwarder, RelpForwarder* theRelp,
           ReportLimiter& theReports)
      : out(theOut), forwarder(theForwarder), relp(theRelp), reports(theReports) {}

  void line(const std::string& host, unsigned port, std::uint32_t, std::string_view text) override;
  void report(const std::string& text) override;

  // The time the forwarded messages carry: when the round of datagrams was received.
  void setReceived(std::chrono::system_clock::time_point when) { received = when; }
  std::uint64_t lines() const { return deliveredLines; }

 private:
  // Constant after construction
  LineOutput* const out;
  TcpForwarder* const forwarder;
  RelpForwarder* const relp;
  ReportLimiter& reports;

  // The receiving thread's own
  std::chrono::system_clock::time_point received;
  std::uint64_t deliveredLines = 0;
};
