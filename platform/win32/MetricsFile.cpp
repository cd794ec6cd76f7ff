#include "platform/MetricsFile.h"

#include <windows.h>

std::error_code MetricsFile::replace(const std::string& from, const std::string& to) {
  // A plain rename does not replace an existing file on Windows, and a reader that has the file
  // open without sharing its deletion holds the replacement off: it is tried again for a second.
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return std::error_code();
    }
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
    Sleep(20);
  }
  return std::error_code(static_cast<int>(error), std::system_category());
}
