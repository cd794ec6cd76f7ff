// The RFC 5424 message that both forwarders send for one line, and its octet-counted framing
// (RFC 6587) for the tcp:// target. Stateless: static members, safe from any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

class SyslogMessage final {
 public:
  static constexpr const char* kAppName = "udplog";

  // The message for one line, without framing: "<14>1 2026-12-07T10:00:26.415123Z 127.0.0.1
  // udplog 40000 - - " and the line's bytes. It holds the time of receipt, the sender's address
  // as HOSTNAME, APP-NAME "udplog", the sender's port as PROCID, and the line's bytes unchanged
  // as MSG. The facility is user; the severity follows the line's level field as
  // kLevelSeverities in SyslogMessage.cpp has it (CRITICAL and FATAL 2, ERROR 3, WARN and WARNING
  // 4, INFO 6, DEBUG and TRACE 7, others 5).
  static std::string message(const std::string& host, unsigned port, std::string_view line,
                             std::chrono::system_clock::time_point when);

  // The framed message for one line, as it goes on the wire: message() after its octet count,
  //   69 <14>1 2026-12-07T10:00:26.415123Z 127.0.0.1 udplog 40000 - - 2026-12-07 10:00:26\vT4\v...
  static std::string frame(const std::string& host, unsigned port, std::string_view line,
                           std::chrono::system_clock::time_point when);

  // The report of a message over the target's largest (the same text each time, so that the
  // reports' limit counts repeats).
  static std::string tooLong(const std::string& target, std::size_t maxBytes);

  SyslogMessage() = delete;
};
