#include "platform/StandardError.h"

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {
// The handle behind standard error, or null where there is none. A program without a console
// has no standard handle, the descriptor -2 (-1 with older C libraries) and no handle behind
// descriptor 2; none of these reaches the C library, which may treat a bad descriptor as a fatal
// invalid parameter.
HANDLE errorHandle() {
  const HANDLE standard = GetStdHandle(STD_ERROR_HANDLE);
  if (standard == nullptr || standard == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _fileno(stderr);
  if (fd < 0) return nullptr;
  const std::intptr_t handle = _get_osfhandle(fd);
  if (handle == -1 || handle == -2 || handle == 0) return nullptr;
  return reinterpret_cast<HANDLE>(handle);
}
}  // namespace

bool StandardError::isOpen() { return errorHandle() != nullptr; }

bool StandardError::showsColour() {
  const HANDLE handle = errorHandle();
  DWORD mode = 0;
  if (!handle || GetConsoleMode(handle, &mode) == 0) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::error_code StandardError::write(const char* data, std::size_t size, std::size_t& written) {
  // Through the C library's stream, which keeps its text mode: "\n" is "\r\n" on a console or in
  // a file, unless the program made the stream binary.
  std::clearerr(stderr);
  errno = 0;
  written = std::fwrite(data, 1, size, stderr);
  if (std::fflush(stderr) == 0 && written == size) return std::error_code();
  return std::error_code(errno != 0 ? errno : EIO, std::generic_category());
}
