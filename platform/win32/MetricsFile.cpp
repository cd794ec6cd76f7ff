#include "platform/MetricsFile.h"

#include <windows.h>

#include "platform/win32/WindowsText.h"

std::error_code MetricsFile::writeNew(const std::string& name, const std::string& text) {
  // CREATE_NEW: a file or a link already at the name fails the creation, so nothing is followed
  // and nothing another process writes is shared; no sharing while it is written.
  HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      return std::make_error_code(std::errc::file_exists);
    }
    return WindowsText::errorOf(error);
  }
  DWORD error = ERROR_SUCCESS;
  std::size_t done = 0;
  while (done < text.size() && error == ERROR_SUCCESS) {
    const std::size_t left = text.size() - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!WriteFile(file, text.data() + done, chunk, &n, nullptr)) {
      error = GetLastError();
    } else if (n == 0) {
      error = ERROR_DISK_FULL;
    }
    done += n;
  }
  if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  if (error == ERROR_SUCCESS) return std::error_code();
  DeleteFileA(name.c_str());
  return WindowsText::errorOf(error);
}

std::error_code MetricsFile::replace(const std::string& from, const std::string& to) {
  // A plain rename does not replace an existing file on Windows, and a reader that has the file
  // open without sharing its deletion holds the replacement off until it closes it. Readers come
  // and go quickly, so the gap between two of them is short: try again at once and often, for up
  // to a second in all, rather than rarely.
  const ULONGLONG started = GetTickCount64();
  DWORD error = ERROR_SUCCESS;
  do {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return std::error_code();
    }
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
    Sleep(1);
  } while (GetTickCount64() - started < 1000);
  return std::error_code(static_cast<int>(error), std::system_category());
}
