#include "platform/StandardError.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

bool StandardError::isOpen() {
  const int flags = ::fcntl(STDERR_FILENO, F_GETFL);
  return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

bool StandardError::showsColour() { return isOpen() && ::isatty(STDERR_FILENO) == 1; }

std::error_code StandardError::write(const char* data, std::size_t size, std::size_t& written) {
  written = 0;
  while (written < size) {
    const ssize_t n = ::write(STDERR_FILENO, data + written, size - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Shared with something that made it non-blocking: wait as a blocking stream would.
      pollfd ready{STDERR_FILENO, POLLOUT, 0};
      if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return std::error_code(n < 0 ? errno : EIO, std::generic_category());
  }
  return std::error_code();
}
