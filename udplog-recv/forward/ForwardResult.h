// How the forwarders (SyslogForwarder, RelpForwarder) answer a set-up step, such as reading a
// target or checking the TLS files: ok, or one line for the user that names the thing, the cause
// and the fix. A plain value, made and read on the calling thread.
#pragma once

#include <string>
#include <utility>

class [[nodiscard]] ForwardResult final {
 public:
  static ForwardResult success() { return ForwardResult(); }
  // error is not empty.
  static ForwardResult failure(std::string error) { return ForwardResult(std::move(error)); }

  bool ok() const { return message.empty(); }
  // Why the step failed; "" when it did not.
  const std::string& error() const { return message; }

 private:
  ForwardResult() = default;
  explicit ForwardResult(std::string error) : message(std::move(error)) {}

  std::string message;
};
