// An identifier value: one text string, copied and compared by value.
//
// A plain value type; safe to use from any thread as long as one object is not written while
// another thread reads it.
#pragma once

#include <string>

#include "logger/host/HostApi.h"

class HOST_API UUId {
 public:
  UUId() = default;
  explicit UUId(std::string text) : text_(std::move(text)) {}

  const std::string& str() const { return text_; }
  bool operator==(const UUId& other) const { return text_ == other.text_; }
  bool operator!=(const UUId& other) const { return text_ != other.text_; }

 private:
  std::string text_;
};
