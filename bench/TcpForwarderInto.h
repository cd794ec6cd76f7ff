// The benchmarks' TCP forwarder into a test rsyslogd, with a backlog that holds a whole run, so
// that nothing is dropped while the collector catches up. Used from the benchmark's thread.
#pragma once

#include <cstddef>
#include <string>

#include "tests/udplog-recv/RsyslogDaemon.h"
#include "udplog-recv/forward/TcpForwarder.h"

inline TcpForwarder tcpForwarderInto(const testsupport::RsyslogDaemon& rsyslog, std::size_t lines) {
  ForwardTarget target;
  (void)ForwardTarget::parse(rsyslog.target(), TcpForwarder::kScheme,
                             target);  // the daemon's own address
  TcpForwarder::Limits limits;
  limits.maxLines = lines;
  limits.maxBytes = 1u << 30;
  return TcpForwarder(target, limits, [](const std::string&) {});
}
