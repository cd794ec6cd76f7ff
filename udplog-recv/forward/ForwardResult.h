// The one shape in which every step of forwarding says how it went: ok, a transient failure that
// a later attempt may get past (no answer, a refused or broken connection), or a fatal one that
// no retry can mend (a target that is not HOST:PORT, a TLS file that cannot be read, a
// certificate our checks refuse). A failure carries one line for the user that names the thing,
// the cause and, where there is one, the fix. A plain value, made and read on the calling thread.
#pragma once

#include <string>
#include <utility>

class [[nodiscard]] ForwardResult final {
 public:
  static ForwardResult success() { return ForwardResult(Kind::kOk, std::string()); }
  static ForwardResult transient(std::string cause) {
    return ForwardResult(Kind::kTransient, std::move(cause));
  }
  static ForwardResult fatal(std::string cause) {
    return ForwardResult(Kind::kFatal, std::move(cause));
  }

  bool ok() const { return kind == Kind::kOk; }
  bool isTransient() const { return kind == Kind::kTransient; }
  bool isFatal() const { return kind == Kind::kFatal; }
  // Why the step failed; "" when it did not.
  const std::string& cause() const { return text; }

 private:
  enum class Kind { kOk, kTransient, kFatal };
  ForwardResult(Kind theKind, std::string cause) : kind(theKind), text(std::move(cause)) {}

  Kind kind;
  std::string text;
};
