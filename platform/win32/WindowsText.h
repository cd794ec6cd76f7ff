// Text of Windows error codes, for messages that name the cause. Any thread.
#pragma once

#include <string>

class WindowsText final {
 public:
  WindowsText() = delete;

  // The system's text for an error code, without the trailing line end.
  static std::string error(unsigned long code);
  // The text for GetLastError().
  static std::string lastError();
};
