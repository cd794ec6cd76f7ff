#include "platform/MetricsFile.h"

#include <windows.h>

std::error_code MetricsFile::replace(const std::string& from, const std::string& to) {
  // A plain rename does not replace an existing file on Windows.
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return std::error_code();
  }
  return std::error_code(static_cast<int>(GetLastError()), std::system_category());
}
