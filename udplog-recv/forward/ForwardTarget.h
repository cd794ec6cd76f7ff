// Where udplog-recv forwards its lines: a syslog target given as "tcp://HOST:PORT" or
// "relp://HOST:PORT". A plain value, read once from the options and constant afterwards.
#pragma once

#include <string>

#include "udplog-recv/forward/ForwardResult.h"

struct ForwardTarget {
  std::string text;  // as given, "tcp://[::1]:514"
  std::string host;  // "::1", without brackets; or a name, resolved at each connection attempt
  std::string port;  // "514"

  // "SCHEME://HOST:PORT", HOST an IPv4 address, an IPv6 address in brackets or a name, into out.
  // Only the form is checked: a name is resolved at each connection attempt, so one that does not
  // resolve yet is retried. A text of another form is a fatal result naming it.
  static ForwardResult parse(const std::string& text, const std::string& scheme,
                             ForwardTarget& out);
};
