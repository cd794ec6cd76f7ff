// Windows error codes as text, and as the C library's errors where one matches (errorOf()), so
// that the std::error_code values that platform/ returns read as on other systems. Any thread.
#pragma once

#include <string>
#include <system_error>

class WindowsText final {
 public:
  WindowsText() = delete;

  // The system's text for an error code, without the trailing line end.
  static std::string error(unsigned long code);
  // The text for GetLastError().
  static std::string lastError();
  // The C library's error for a code where there is one (ERROR_ACCESS_DENIED: permission_denied,
  // ERROR_DISK_FULL: no_space_on_device, ...), so that messages read as on other systems; the
  // system's own otherwise.
  static std::error_code errorOf(unsigned long code);
};
