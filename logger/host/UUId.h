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
  explicit UUId(std::string theText) : text(std::move(theText)) {}

  const std::string& str() const { return text; }
  bool operator==(const UUId& other) const { return text == other.text; }
  bool operator!=(const UUId& other) const { return text != other.text; }

 private:
  std::string text;
};
